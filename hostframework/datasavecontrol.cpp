#include "datasavecontrol.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSettings>

#include "hostframework.h"
#include "journalcalls.h"

namespace {
// QSettings is not thread-safe; one lock serialises every access. A fresh
// QSettings per call sees what other processes wrote meanwhile. A basic
// mutex needs no constructor, so it is ready before main() and after it.
QBasicMutex s_lock;

#define HOSTFW_SETTINGS \
    QSettings::IniFormat, QSettings::UserScope, QStringLiteral("hostframework"), \
        QStringLiteral("settings")
} // namespace

void DataSaveControl::initQSettingPath()
{
    Journal::trace("DataSaveControl::initQSettingPath");
}

QVariant DataSaveControl::readSettingData(const QString &key, const QVariant &fallback,
                                          const QString &group)
{
    Journal::trace(JournalCall::readSettingData, key, fallback, group);
    QMutexLocker locker(&s_lock);
    QSettings settings(HOSTFW_SETTINGS);
    if (!group.isEmpty())
        settings.beginGroup(group);
    return settings.value(key, fallback);
}

void DataSaveControl::writeSettingData(const QString &key, const QVariant &value,
                                       const QString &group)
{
    Journal::trace("DataSaveControl::writeSettingData", key, value, group);
    QMutexLocker locker(&s_lock);
    QSettings settings(HOSTFW_SETTINGS);
    if (!group.isEmpty())
        settings.beginGroup(group);
    settings.setValue(key, value);
    settings.sync();
}

void HostFramework::clearSettings()
{
    QMutexLocker locker(&s_lock);
    QSettings settings(HOSTFW_SETTINGS);
    settings.clear();
    settings.sync();
}
