#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include <QObject>
#include <QTimer>

#include "unixaddress.h"

// Tells the service manager how the start goes, that the launcher is ready
// once its first frame is on the screen, and, from the GUI thread's event
// loop, that the loop still runs: a hung GUI thread misses its watchdog and
// gets the launcher restarted. It speaks the manager's datagram protocol on
// the socket named by NOTIFY_SOCKET; without that variable (a desktop, a unit
// without the manager) it does nothing at all.
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    // One per process, on the GUI thread; the static calls below reach it.
    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    bool isActive() const { return m_fd >= 0; }
    // The watchdog's ping interval in ms (half the manager's timeout); 0: none.
    int watchdogInterval() const;

    // A start-up stage, shown by the manager as the service's status.
    static void status(const char *text);
    static void ready(const char *text);
    static void stopping();

private Q_SLOTS:
    void ping();

private:
    static void notifyStatus(const char *prefix, const char *text);
    void notify(const char *message);

    int m_fd;
    UnixAddress m_address;
    QTimer m_watchdog;

    static ServiceNotifier *s_instance;
};

#endif
