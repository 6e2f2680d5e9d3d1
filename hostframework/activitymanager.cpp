#include "activitymanager.h"

#include <QByteArray>
#include <QGlobalStatic>
#include <QMutex>
#include <QMutexLocker>

#include "hostframework.h"
#include "journalcalls.h"

namespace {
constexpr int RecentCount = 8;
// Built on first use and never before main(): a plain global would be.
struct Recent
{
    QMutex lock;
    QVector<Journal::Entry> entries;
};
Q_GLOBAL_STATIC(Recent, s_recent)

void keep(const char *call, QVariantList args)
{
    {
        // Before the journal entry, so a listener of recorded() finds it.
        QMutexLocker locker(&s_recent->lock);
        if (s_recent->entries.size() == RecentCount)
            s_recent->entries.removeFirst();
        s_recent->entries.append(Journal::Entry {QString::fromLatin1(call), args});
    }
    Journal::instance()->record(call, std::move(args));
}
} // namespace

QVector<Journal::Entry> HostFramework::recentActivity()
{
    QMutexLocker locker(&s_recent->lock);
    return s_recent->entries;
}

namespace zyappframework {

ActivityManager::ActivityManager() = default;
ActivityManager::~ActivityManager() = default;

QSharedPointer<ActivityManager> ActivityManager::self()
{
    static const auto *const instance = new QSharedPointer<ActivityManager>(new ActivityManager);
    Journal::trace("ActivityManager::self");
    return *instance;
}

void ActivityManager::notifyMcuValue(int value)
{
    if (Journal::isEnabled())
        keep(JournalCall::notifyMcuValue, {value});
}

void ActivityManager::handleMcuMsg(MainAppNormalMsg msg)
{
    if (Journal::isEnabled())
        keep(JournalCall::handleMcuMsg, {msg.type, msg.msg, msg.p1, msg.p2});
}

void ActivityManager::handleCanMsg(tag_MCUSRV_TO_MAIN_APP_T frame)
{
    if (Journal::isEnabled())
        keep(JournalCall::handleCanMsg,
             {QByteArray(reinterpret_cast<const char *>(&frame), sizeof frame)});
}

} // namespace zyappframework
