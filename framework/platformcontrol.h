#ifndef PLATFORMCONTROL_H
#define PLATFORMCONTROL_H

#include <QString>

class PlatformControl
{
public:
    // May be null while the platform layer is not up.
    static PlatformControl *getInstance();

    void setMcuVersion(const QString &version);
    QString mcuVersion() const;
    QString getCustomerVer();
    QString getSDKVer();

private:
    PlatformControl();
    // NOLINTNEXTLINE(performance-trivially-destructible) declared as the maker declares it
    ~PlatformControl();
    PlatformControl(const PlatformControl &) = delete;
    PlatformControl &operator=(const PlatformControl &) = delete;
};

#endif
