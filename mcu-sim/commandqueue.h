#ifndef COMMANDQUEUE_H
#define COMMANDQUEUE_H

#include <QObject>
#include <QTimer>
#include <QVector>

#include "simcommand.h"

class CheckBook;
class LauncherConnection;

// The session's commands, one at a time: a send waits for a launcher and
// for its delay, a wait for its time, a check for its frame or its time.
// Also the idle clock: a session may end after a while without traffic.
class CommandQueue : public QObject
{
    Q_OBJECT
public:
    // idleMs: finished() after this long without touch(); -1 never.
    CommandQueue(const LauncherConnection &link, CheckBook &checks, qint64 idleMs,
                 QObject *parent = nullptr);

    void append(const QVector<SimCommand> &commands);
    // No more commands come: finished() once the queue is done.
    void endInput() { m_inputEnded = true; }
    // Runs what can run now.
    void run();
    // Traffic: the idle time counts from now.
    void touch();
    bool isStopped() const { return m_stopped; }
    // Nothing runs from now on. Returns the sends and checks that never ran.
    QVector<SimCommand> stop();

Q_SIGNALS:
    void sendDue(const SimCommand &cmd);
    // At "quit", at the end of the input and queue, or after the idle time.
    void finished();

private:
    void waitTimedOut();
    void idleTimedOut();

    const LauncherConnection &m_link;
    CheckBook &m_checks;
    const qint64 m_idleMs;
    QVector<SimCommand> m_queue;
    QTimer m_waitTimer;
    QTimer m_idleTimer;
    bool m_inputEnded = false;
    bool m_stopped = false;
};

#endif
