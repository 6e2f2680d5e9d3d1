#include "sysconfig.h"

#include <QDebug>
#include <QTime>
#include <QVariant>

#include "datadefault.h"
#include "datasavecontrol.h"
#include "setupstridconst.h"
#include "storedsetting.h"
#include "syslanguage.h"
#include "uimanager.h"
#include "usbcontrol.h"

namespace {

// The store keeps the language as an index into this table.
const char *const languageCodes[] = {
    "de", "en", "fr", "es", "it", "nl", "cz", "fi", "dk", "no", "pl", "sl", "sw",
};
const int languageCount = int(sizeof(languageCodes) / sizeof(languageCodes[0]));

} // namespace

SysConfig::SysConfig()
{
    // The defaults table is read through the store, so the store goes first.
    DataSaveControl::initQSettingPath();
    DataDefault::initDataDefault();
}

SysConfig::~SysConfig() { }

void SysConfig::exeDisConfig()
{
    // Language first: the layout is rebuilt for the language already in force.
    exeLanguage();
    exeLayout();
}

void SysConfig::exeLayout()
{
    // No factory default for the drive side: left-hand drive unless stored.
    const bool flag = DataSaveControl::readSettingData(SetupStrIdConst::setupRightDrive,
                                                       QVariant(false), QString())
                          .toBool();
    qDebug() << "read right mode:" << flag;
    zyappframework::UIManager::setRightDrive(flag, true);
}

void SysConfig::exeLanguage()
{
    const int index = StoredSetting::readString(SetupStrIdConst::setupSysLang).toInt(nullptr, 10);
    // Anything outside the table (also a stored code instead of an index) means German.
    const QString code = QString::fromLatin1(
        languageCodes[index >= 0 && index < languageCount ? index : 0]);
    qDebug() << "read language:" << code;
    SysLanguage::exeLanguage(code);
}

void SysConfig::exeUsbSetting()
{
    qDebug() << QTime::currentTime();
    qDebug() << "SysConfig: exeUsbSetting";
    UsbControl *usb = UsbControl::getInstance();
    qDebug() << QTime::currentTime();

    const QString android = StoredSetting::readString(SetupStrIdConst::setupAndroidDevice);
    const QString apple = StoredSetting::readString(SetupStrIdConst::setupAppleDevice);
    const bool carlife = StoredSetting::readBool(SetupStrIdConst::setupCarlifeDevice);
    const bool webLink = StoredSetting::readBool(SetupStrIdConst::setupWebLinkDevice);

    // A projection chosen for every phone overrides the per-platform choices.
    if (webLink) {
        exeAndroidDevice(SetupStrIdConst::setupWebLinkDevice);
        exeAppleDevice(SetupStrIdConst::setupWebLinkDevice);
    } else if (carlife) {
        exeAndroidDevice(SetupStrIdConst::setupCarlifeDevice);
        exeAppleDevice(SetupStrIdConst::setupCarlifeDevice);
    } else {
        if (!android.isEmpty())
            exeAndroidDevice(android);
        if (!apple.isEmpty())
            exeAppleDevice(apple);
    }

    // The controller enumerates with the modes it holds when it starts.
    usb->startup();
}

// NOLINTNEXTLINE(performance-unnecessary-value-param) the id by value is the published signature
void SysConfig::exeAppleDevice(QString id)
{
    UsbControl *usb = UsbControl::getInstance();
    if (id == SetupStrIdConst::setupCarplay)
        usb->setAppleDeviceMode(UsbControl::AppleCarplay);
    else if (id == SetupStrIdConst::setupCarlifeDevice)
        usb->setAppleDeviceMode(UsbControl::AppleCarlife);
    else if (id == SetupStrIdConst::setupIpod)
        usb->setAppleDeviceMode(UsbControl::AppleIpod);
    else if (id == SetupStrIdConst::setupiOSMirror)
        usb->setAppleDeviceMode(UsbControl::AppleIosMirror);
    else if (id == SetupStrIdConst::setupWebLinkDevice)
        usb->setAppleDeviceMode(UsbControl::AppleWebLink);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param) the id by value is the published signature
void SysConfig::exeAndroidDevice(QString id)
{
    UsbControl *usb = UsbControl::getInstance();
    // The controller expects the AOA flag after the mode, and always one flag.
    bool aoaTimeout = true;
    if (id == SetupStrIdConst::setupAndroidAuto) {
        usb->setAndroidDeviceMode(UsbControl::AndroidAuto);
    } else if (id == SetupStrIdConst::setupAutoLink) {
        usb->setAndroidDeviceMode(UsbControl::AndroidAutoLink);
        aoaTimeout = false;
    } else if (id == SetupStrIdConst::setupCarlifeDevice) {
        usb->setAndroidDeviceMode(UsbControl::AndroidCarlife);
    } else if (id == SetupStrIdConst::setupWebLinkDevice) {
        usb->setAndroidDeviceMode(UsbControl::AndroidWebLink);
        aoaTimeout = false;
    }
    usb->configAoaTimeoutAction(aoaTimeout);
}
