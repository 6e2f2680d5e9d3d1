#include "usbcontrol.h"

#include "journal.h"

UsbControl::UsbControl() = default;
UsbControl::~UsbControl() = default;

UsbControl *UsbControl::getInstance()
{
    static UsbControl *const instance = new UsbControl;
    return instance;
}

void UsbControl::setAppleDeviceMode(AppleDeviceMode mode)
{
    Journal::trace("UsbControl::setAppleDeviceMode", int(mode));
}

void UsbControl::setAndroidDeviceMode(AndroidDeviceMode mode)
{
    Journal::trace("UsbControl::setAndroidDeviceMode", int(mode));
}

void UsbControl::configAoaTimeoutAction(bool onTimeout)
{
    Journal::trace("UsbControl::configAoaTimeoutAction", onTimeout);
}

void UsbControl::startup()
{
    Journal::trace("UsbControl::startup");
}
