#ifndef MCUSIMULATOR_H
#define MCUSIMULATOR_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include "framecodec.h"
#include "lineprinter.h"
#include "linkcounts.h"
#include "sessionrecorder.h"
#include "simcommand.h"

class QSocketNotifier;

// Plays the MCU service: listens where the launcher connects, prints what it
// sends and sends what the commands say, one command at a time.
class McuSimulator : public QObject
{
    Q_OBJECT
public:
    // Exit statuses, documented in --help.
    enum Status { Passed = 0, BadUsage = 1, CheckFailed = 2, NotSent = 3 };

    struct Options
    {
        QByteArray name; // '@' for the abstract namespace, else a path
        bool summary = false;
        qint64 idleMs = -1; // end after this long without traffic; -1 never
        LinePrinter::Timestamps timestamps = LinePrinter::NoTimestamps;
        QSet<QString> show; // kinds printed (lower case); empty: all
        QSet<QString> hide; // kinds never printed (lower case)
    };

    explicit McuSimulator(const Options &options, QObject *parent = nullptr);
    ~McuSimulator() override;

    bool listen(QString *error);
    bool listenControl(QString *error);
    bool record(const QString &path, QString *error);
    bool capture(const QString &path, QString *error);
    void enqueue(const QVector<SimCommand> &commands);
    void readStdin();
    void quitOnSignals();

private:
    void acceptConnection();
    void acceptControl();
    void readConnection();
    void readStdinChunk();
    void dropConnection(const QString &why);
    void received(const QByteArray &frame);
    bool send(const SimCommand &cmd, QString *line = nullptr);
    bool takeFrame(const SimCommand &cmd);
    void runQueue();
    void waitTimedOut();
    void idleTimedOut();
    void touch();
    void finish();

    Options m_options;
    LinePrinter m_printer;
    SessionRecorder m_recorder;

    int m_listen = -1;
    int m_conn = -1;
    int m_control = -1;
    QByteArray m_socketPath; // the listening socket file this process made
    QByteArray m_controlPath;
    QSocketNotifier *m_listenNotifier = nullptr;
    QSocketNotifier *m_connNotifier = nullptr;
    QSocketNotifier *m_stdinNotifier = nullptr;
    QByteArray m_inBuf;
    QByteArray m_stdinBuf;
    bool m_inputEnded = false;

    QVector<SimCommand> m_queue;
    QTimer m_waitTimer;
    QTimer m_idleTimer;
    QHash<QString, QVector<DecodedFrame>> m_unclaimed; // by lower-case kind, not yet taken by a check
    bool m_finished = false;
    int m_checksPassed = 0;
    int m_checksFailed = 0;
    int m_sendsFailed = 0;
    LinkCounts m_counts;
};

#endif
