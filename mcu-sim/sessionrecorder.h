#ifndef SESSIONRECORDER_H
#define SESSIONRECORDER_H

#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include "simcommand.h"

// Session log in text: "+SECONDS < HEX" for what the launcher sent,
// "+SECONDS > HEX" for what the simulator sent, "# ..." for events.
class SessionRecorder
{
public:
    explicit SessionRecorder(const QElapsedTimer &clock);

    bool open(const QString &path, QString *error);
    void frame(char direction, const QByteArray &bytes);
    void note(const QString &text);

    // The '>' side of a recording as sends timed from the launcher's connection
    // (the last "connected" note before the first '>' line).
    static bool loadReplay(const QString &path, QVector<SimCommand> *out, QString *error);

private:
    void write(const QString &line);

    const QElapsedTimer &m_clock;
    QFile m_file;
};

#endif
