#ifndef SESSIONRECORDER_H
#define SESSIONRECORDER_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include "pcapwriter.h"
#include "simcommand.h"

// Session log in text: "+SECONDS < HEX  # decoded" for what the launcher sent,
// "+SECONDS > HEX  # decoded" for what the simulator sent, "# ..." for events;
// and the same frames as a pcapng capture.
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

    SessionRecorder();

    bool open(const QString &path, const QString &socketName, QString *error);
    bool capture(const QString &path, const QString &socketName, QString *error);
    void frame(char direction, const QByteArray &bytes, const QString &decoded);
    void note(const QString &text);

    // The '>' side of a recording as sends, each delayed by its gap to the
    // line before it (from the launcher's connection for the first); with
    // answerMs the launcher's frames recorded after the first send become
    // wait-for commands.
    static bool loadReplay(const QString &path, const ReplayOptions &options,
                           QVector<SimCommand> *out, QString *error);
    // A recording as a capture, its frames at the recorded times.
    static bool convert(const QString &recording, const QString &pcapPath, QString *error);

private:
    void write(const QString &line);
    QString header(const QString &socketName) const;

    QElapsedTimer m_clock;
    // Wall time of the clock's start: the frames' times are counted from it.
    const QDateTime m_started;
    QFile m_file;
    PcapWriter m_capture;
};

#endif
