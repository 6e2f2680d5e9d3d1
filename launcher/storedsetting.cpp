#include "storedsetting.h"

#include <QVariant>

#include "datadefault.h"
#include "datasavecontrol.h"

namespace {

QVariant read(const QString &key, const QVariant &fallback)
{
    return DataSaveControl::readSettingData(key, fallback, QString());
}

} // namespace

bool StoredSetting::readBool(const QString &key)
{
    return read(key, DataDefault::getDefault(key).toBool()).toBool();
}

int StoredSetting::readInt(const QString &key)
{
    return read(key, DataDefault::getDefault(key).toInt()).toInt();
}

QString StoredSetting::readString(const QString &key)
{
    return read(key, DataDefault::getDefault(key).toString()).toString();
}
