#ifndef SETUPSTRIDCONST_H
#define SETUPSTRIDCONST_H

#include <QString>

// Setting keys; some double as device-mode ids.
class SetupStrIdConst
{
public:
    static const QString setupRightDrive;
    static const QString setupSysLang;
    static const QString setupSysBeep;
    static const QString setupAlterVolume;
    static const QString setupSyncRdsTime;
    static const QString setupAndroidDevice;
    static const QString setupAppleDevice;
    static const QString setupCarlifeDevice;
    static const QString setupWebLinkDevice;
    static const QString setupCarplay;
    static const QString setupIpod;
    static const QString setupiOSMirror;
    static const QString setupAndroidAuto;
    static const QString setupAutoLink;
};

#endif
