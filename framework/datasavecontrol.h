#ifndef DATASAVECONTROL_H
#define DATASAVECONTROL_H

#include <QString>
#include <QVariant>

// The settings store. Thread-safe.
class DataSaveControl
{
public:
    static void initQSettingPath();
    static QVariant readSettingData(const QString &key, const QVariant &fallback,
                                    const QString &group);
    static void writeSettingData(const QString &key, const QVariant &value, const QString &group);
};

#endif
