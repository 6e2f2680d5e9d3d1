#ifndef MCUSIMULATOR_H
#define MCUSIMULATOR_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVector>

#include "sessionrecorder.h"
#include "simcommand.h"

class QSocketNotifier;

// Plays the MCU service: listens where the launcher connects, prints what it
// sends and sends what the commands say, one command at a time.
class McuSimulator : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QByteArray name;     // '@' for the abstract namespace, else a path
        bool summary = false;
        qint64 idleMs = -1;  // end after this long without traffic; -1 never
    };

    explicit McuSimulator(const Options &options, QObject *parent = nullptr);
    ~McuSimulator() override;

    bool listen(QString *error);
    bool record(const QString &path, QString *error);
    void enqueue(const QVector<SimCommand> &commands);
    void readStdin();
    void quitOnSignals();

private:
    using Counts = QVector<QPair<QString, int>>;

    void acceptConnection();
    void readConnection();
    void readStdinChunk();
    void dropConnection(const QString &why);
    void received(const QByteArray &frame);
    bool send(const SimCommand &cmd);
    void runQueue();
    void waitTimedOut();
    void idleTimedOut();
    void touch();
    void finish();
    static void count(Counts *counts, const QString &kind);
    static QString describe(const Counts &counts);

    Options m_options;
    QElapsedTimer m_clock;
    QElapsedTimer m_replayClock; // from the first connection
    SessionRecorder m_recorder;

    int m_listen = -1;
    int m_conn = -1;
    QSocketNotifier *m_listenNotifier = nullptr;
    QSocketNotifier *m_connNotifier = nullptr;
    QSocketNotifier *m_stdinNotifier = nullptr;
    QSocketNotifier *m_signalNotifier = nullptr;
    QByteArray m_inBuf;
    QByteArray m_stdinBuf;

    QVector<SimCommand> m_queue;
    QTimer m_waitTimer;
    QTimer m_idleTimer;
    QHash<QString, int> m_unclaimed; // received kinds not yet taken by a wait-for
    bool m_finished = false;
    int m_timeouts = 0;

    int m_connections = 0;
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
    Counts m_in;
    Counts m_out;
};

#endif
