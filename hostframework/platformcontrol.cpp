#include "platformcontrol.h"

#include <QGlobalStatic>
#include <QMutex>
#include <QMutexLocker>
#include <atomic>

#include "hostframework.h"
#include "journalcalls.h"

namespace {
std::atomic<bool> s_available {true};
struct Versions
{
    QMutex lock;
    QString customer = QStringLiteral("HOSTFW_CUSTOMER_1.0");
    QString sdk = QStringLiteral("HOSTFW_SDK_1.0");
    QString mcu;
};
// Built on first use, not before main().
Q_GLOBAL_STATIC(Versions, s_versions)
} // namespace

void HostFramework::setPlatformControlAvailable(bool available)
{
    s_available = available;
}

void HostFramework::setCustomerVersion(const QString &version)
{
    QMutexLocker locker(&s_versions->lock);
    s_versions->customer = version;
}

void HostFramework::setSdkVersion(const QString &version)
{
    QMutexLocker locker(&s_versions->lock);
    s_versions->sdk = version;
}

PlatformControl::PlatformControl() = default;
PlatformControl::~PlatformControl() = default;

PlatformControl *PlatformControl::getInstance()
{
    static PlatformControl *const instance = new PlatformControl;
    Journal::trace("PlatformControl::getInstance");
    return s_available ? instance : nullptr;
}

void PlatformControl::setMcuVersion(const QString &version)
{
    {
        QMutexLocker locker(&s_versions->lock);
        s_versions->mcu = version;
    }
    Journal::trace(JournalCall::setMcuVersion, version);
}

QString PlatformControl::mcuVersion() const
{
    QMutexLocker locker(&s_versions->lock);
    return s_versions->mcu;
}

QString PlatformControl::getCustomerVer()
{
    Journal::trace("PlatformControl::getCustomerVer");
    QMutexLocker locker(&s_versions->lock);
    return s_versions->customer;
}

QString PlatformControl::getSDKVer()
{
    Journal::trace("PlatformControl::getSDKVer");
    QMutexLocker locker(&s_versions->lock);
    return s_versions->sdk;
}
