#include "servicenotifier.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

ServiceNotifier *ServiceNotifier::s_instance = nullptr;

namespace {

// WATCHDOG_USEC as half of it in ms, when the watchdog is meant for this
// process; 0 otherwise.
int watchdogIntervalMs()
{
    const QByteArray usec = qgetenv("WATCHDOG_USEC");
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    bool ok = false;
    const qulonglong timeout = usec.toULongLong(&ok);
    if (!ok || timeout == 0)
        return 0;
    if (!pid.isEmpty() && pid.toLongLong() != getpid())
        return 0;
    // At most a day between pings: beyond that the int of the timer ends.
    const qulonglong dayMs = 24ULL * 3600 * 1000;
    return int(qBound<qulonglong>(1, timeout / 2000, dayMs));
}

} // namespace

ServiceNotifier::ServiceNotifier(QObject *parent)
    : QObject(parent)
    , m_fd(-1)
    , m_address(qgetenv("NOTIFY_SOCKET").constData())
{
    s_instance = this;
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    // A path, or an abstract name after '@'; anything else is not ours to use.
    if (!m_address.isValid() || name.size() < 2 || (name[0] != '/' && name[0] != '@'))
        return;
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;

    m_watchdog.setInterval(watchdogIntervalMs());
    connect(&m_watchdog, SIGNAL(timeout()), this, SLOT(ping()));
    if (m_watchdog.interval() > 0)
        m_watchdog.start();
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0)
        close(m_fd);
    s_instance = nullptr;
}

int ServiceNotifier::watchdogInterval() const
{
    return m_watchdog.isActive() ? m_watchdog.interval() : 0;
}

void ServiceNotifier::status(const char *text)
{
    notifyStatus("", text);
}

void ServiceNotifier::ready(const char *text)
{
    notifyStatus("READY=1\n", text);
}

void ServiceNotifier::notifyStatus(const char *prefix, const char *text)
{
    if (!s_instance)
        return;
    char message[256];
    std::snprintf(message, sizeof message, "%sSTATUS=%s", prefix, text);
    s_instance->notify(message);
}

void ServiceNotifier::stopping()
{
    if (s_instance)
        s_instance->notify("STOPPING=1");
}

void ServiceNotifier::ping()
{
    notify("WATCHDOG=1");
}

void ServiceNotifier::notify(const char *message)
{
    if (m_fd < 0)
        return;
    // Never blocks: the manager's queue is its own, and a lost status is only
    // a status.
    sendto(m_fd, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL, m_address.address(),
           m_address.length());
}
