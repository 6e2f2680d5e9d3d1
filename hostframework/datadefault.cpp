#include "datadefault.h"

#include <QHash>

#include "journal.h"
#include "setupstridconst.h"

namespace {
// Built on first use: the key texts are statics of another unit.
const QHash<QString, QVariant> &defaults()
{
    static const QHash<QString, QVariant> table {
        // The drive side has no entry: its reader supplies false itself.
        {SetupStrIdConst::setupSysLang, QStringLiteral("1")},
        {SetupStrIdConst::setupSysBeep, true},
        {SetupStrIdConst::setupAlterVolume, 15},
        {SetupStrIdConst::setupSyncRdsTime, true},
        {SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAndroidAuto},
        {SetupStrIdConst::setupAppleDevice, SetupStrIdConst::setupCarplay},
        {SetupStrIdConst::setupCarlifeDevice, false},
        {SetupStrIdConst::setupWebLinkDevice, false},
    };
    return table;
}
} // namespace

void DataDefault::initDataDefault()
{
    defaults();
    Journal::trace("DataDefault::initDataDefault");
}

// NOLINTNEXTLINE(performance-unnecessary-value-param) the framework declares it by value
QVariant DataDefault::getDefault(QString key)
{
    Journal::trace("DataDefault::getDefault", key);
    return defaults().value(key);
}
