#ifndef SYSCONFIG_H
#define SYSCONFIG_H

#include <QString>

// Reads stored system settings and hands each to the service that applies it.
class SysConfig
{
public:
    SysConfig();
    ~SysConfig();

    void exeDisConfig();
    void exeLayout();
    void exeLanguage();
    void exeUsbSetting();
    void exeAppleDevice(QString id);
    void exeAndroidDevice(QString id);
};

#endif
