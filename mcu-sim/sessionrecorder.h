#ifndef SESSIONRECORDER_H
#define SESSIONRECORDER_H

#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include "simcommand.h"

// Session log in text: "+SECONDS < HEX  # decoded" for what the launcher sent,
// "+SECONDS > HEX  # decoded" for what the simulator sent, "# ..." for events.
class SessionRecorder
{
public:
    struct ReplayOptions
    {
        double speed = 1; // 2: twice as fast
        bool timing = true; // false: each frame as soon as the last went out
        int loops = 1;
        qint64 answerMs = -1; // >= 0: wait this long for each of the launcher's recorded answers
    };

    explicit SessionRecorder(const QElapsedTimer &clock);

    bool open(const QString &path, const QString &socketName, QString *error);
    void frame(char direction, const QByteArray &bytes, const QString &decoded);
    void note(const QString &text);

    // The '>' side of a recording as sends, each delayed by its gap to the
    // line before it (from the launcher's connection for the first); with
    // answerMs the launcher's frames recorded after the first send become
    // wait-for commands.
    static bool loadReplay(const QString &path, const ReplayOptions &options,
                           QVector<SimCommand> *out, QString *error);

private:
    void write(const QString &line);

    const QElapsedTimer &m_clock;
    QFile m_file;
};

#endif
