#ifndef LINEPRINTER_H
#define LINEPRINTER_H

#include <QElapsedTimer>
#include <QSet>
#include <QString>

#include <cstdio>

// The simulator's output, a line at a time: stamped as asked, and frames of
// kinds the filter leaves out not at all.
class LinePrinter
{
public:
    enum Timestamps { NoTimestamps, Absolute, Delta, Relative };

    // show: the kinds printed (lower case), empty for all; hide: never printed.
    LinePrinter(Timestamps timestamps, const QSet<QString> &show, const QSet<QString> &hide);

    // Relative stamps count from here.
    void connectionStarted() { m_connClock.restart(); }
    // kind: of the frame the line shows; empty for a line that is no frame's.
    void print(std::FILE *stream, const QString &line, const QString &kind = QString());

private:
    const Timestamps m_timestamps;
    const QSet<QString> m_show;
    const QSet<QString> m_hide;
    QElapsedTimer m_connClock; // from the latest connection
    QElapsedTimer m_lastPrinted;
};

#endif
