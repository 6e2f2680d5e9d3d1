#ifndef NOTIFYRECEIVER_H
#define NOTIFYRECEIVER_H

#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

// The service manager's end of its notification protocol: a datagram socket
// bound in a directory of its own, named to the launcher by NOTIFY_SOCKET
// (set in this process's environment while the receiver lives). It reads on a
// thread of its own, as promptly as the manager: the kernel queues only a few
// datagrams, and a sender that finds the queue full loses its message.
class NotifyReceiver
{
public:
    // A path in a directory of its own, or the shortest abstract name there
    // is ("@" and one free letter).
    enum Name { Path, ShortAbstractName };

    explicit NotifyReceiver(Name name = Path);
    ~NotifyReceiver();

    QByteArray path() const { return m_path; }
    // Every datagram so far, oldest first; does not wait.
    QStringList received() const;
    // Returns once everything sent to the socket before the call is in
    // received(): a datagram of its own queues behind them. Runs no event loop.
    bool sync();

private:
    NotifyReceiver(const NotifyReceiver &) = delete;
    NotifyReceiver &operator=(const NotifyReceiver &) = delete;

    QTemporaryDir m_dir;
    QByteArray m_path;
    mutable QMutex m_lock;
    QStringList m_received;
    int m_syncs = 0;
    int m_fd = -1;
    std::atomic<bool> m_done {false};
    std::thread m_reader;
};

#endif
