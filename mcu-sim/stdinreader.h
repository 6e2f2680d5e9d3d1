#ifndef STDINREADER_H
#define STDINREADER_H

#include <QByteArray>
#include <QObject>
#include <QVector>

#include "simcommand.h"

class LinePrinter;
class QSocketNotifier;

// Commands typed or piped into a running session, a line at a time; a bad
// line is reported and skipped, "help" answered on the spot.
class StdinReader : public QObject
{
    Q_OBJECT
public:
    explicit StdinReader(LinePrinter &printer, QObject *parent = nullptr);

    // Without a standard input there is nothing to read.
    void start();

Q_SIGNALS:
    void commands(const QVector<SimCommand> &commands);
    // Before the last commands() of the input.
    void ended();

private:
    void read();

    LinePrinter &m_printer;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_buf;
};

#endif
