#include "platformcontrol.h"

#include <QMutex>
#include <QMutexLocker>
#include <atomic>

#include "hostframework.h"
#include "journalcalls.h"

namespace {
std::atomic<bool> s_available {true};
QMutex s_lock;
QString s_customerVer = QStringLiteral("HOSTFW_CUSTOMER_1.0");
QString s_sdkVer = QStringLiteral("HOSTFW_SDK_1.0");
QString s_mcuVer;
} // namespace

void HostFramework::setPlatformControlAvailable(bool available)
{
    s_available = available;
}

void HostFramework::setCustomerVersion(const QString &version)
{
    QMutexLocker locker(&s_lock);
    s_customerVer = version;
}

void HostFramework::setSdkVersion(const QString &version)
{
    QMutexLocker locker(&s_lock);
    s_sdkVer = version;
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
        QMutexLocker locker(&s_lock);
        s_mcuVer = version;
    }
    Journal::trace(JournalCall::setMcuVersion, version);
}

QString PlatformControl::mcuVersion() const
{
    QMutexLocker locker(&s_lock);
    return s_mcuVer;
}

QString PlatformControl::getCustomerVer()
{
    Journal::trace("PlatformControl::getCustomerVer");
    QMutexLocker locker(&s_lock);
    return s_customerVer;
}

QString PlatformControl::getSDKVer()
{
    Journal::trace("PlatformControl::getSDKVer");
    QMutexLocker locker(&s_lock);
    return s_sdkVer;
}
