#ifndef SIGNALNOTIFIER_H
#define SIGNALNOTIFIER_H

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal, emitted by the event loop of the thread
// that made the notifier, so whoever reacts may do anything. The handlers
// write into one pipe, so there is at most one per process. Interrupted
// system calls restart: a thread's blocking read() must not fail with EINTR.
class SignalNotifier : public QObject
{
    Q_OBJECT
public:
    // Null, with errno set, when there is already one or no pipe could be made.
    static SignalNotifier *create(QObject *parent);

Q_SIGNALS:
    // Once per signal caught: SIGINT or SIGTERM.
    void received(int signal);

private:
    SignalNotifier(int readFd, QObject *parent);
    void readSignals();

    QSocketNotifier *m_notifier;
};

#endif
