#include <QtTest>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "messagecapture.h"
#include "setupstridconst.h"
#include "usbcontrol.h"
#include "sysconfig.h"

class TestSysConfig : public QObject
{
    Q_OBJECT

private:
    // Made once the test library has installed its own message handler.
    QScopedPointer<MessageCapture> m_log;

private Q_SLOTS:
    void initTestCase() { m_log.reset(new MessageCapture); }

    void disConfig_data()
    {
        QTest::addColumn<QVariant>("language");
        QTest::addColumn<QVariant>("rightDrive");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("right");
        const char *const codes[] = {"de", "en", "fr", "es", "it", "nl", "cz",
                                     "fi", "dk", "no", "pl", "sl", "sw"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("language %d", i) << QVariant(QString::number(i)) << QVariant(i == 3)
                                            << codes[i] << (i == 3 ? "true" : "false");
        for (const char *text : {"13", "-1", "fr", ""})
            QTest::addRow("language '%s'", text) << QVariant(text) << QVariant() << "de"
                                                 << "false";
        // The desktop default is "1"; the drive side has no default of its own.
        QTest::newRow("nothing stored") << QVariant() << QVariant(QPoint(1, 2)) << "en"
                                        << "false";
    }

    void disConfig()
    {
        QFETCH(QVariant, language);
        QFETCH(QVariant, rightDrive);
        QFETCH(QString, code);
        QFETCH(QString, right);
        HostFramework::clearSettings();
        if (language.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, language, QString());
        if (rightDrive.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupRightDrive, rightDrive,
                                              QString());
        m_log->take();
        const int mark = journalMark();

        SysConfig().exeDisConfig();

        // The store is ready before its defaults; the language goes in before
        // the drive side, and nothing of the USB modes at start.
        QCOMPARE(
            journalLines(
                mark,
                {"DataSaveControl::init", "DataDefault::init", "SysLanguage", "UIManager", "Usb"}),
            QStringList({"DataSaveControl::initQSettingPath()", "DataDefault::initDataDefault()",
                         "SysLanguage::exeLanguage(" + code + ")",
                         "UIManager::setRightDrive(" + right + ", true)"}));
        QCOMPARE(m_log->take(),
                 QStringList({"read language: \"" + code + '"', "read right mode: " + right}));
    }
    void usbSetting_data()
    {
        QTest::addColumn<QVariant>("android");
        QTest::addColumn<QVariant>("apple");
        QTest::addColumn<QVariant>("carlife");
        QTest::addColumn<QVariant>("webLink");
        QTest::addColumn<QStringList>("calls"); // before the startup() that always ends them
        const QVariant autoLink = SetupStrIdConst::setupAutoLink,
                       iosMirror = SetupStrIdConst::setupiOSMirror,
                       carplay = SetupStrIdConst::setupCarplay, none = QString(), on = true,
                       off = false;
        const QString timeoutOff = aoaTimeout(false), timeoutOn = aoaTimeout(true);
        const QStringList webLinkCalls {android(UsbControl::AndroidWebLink), timeoutOff,
                                        apple(UsbControl::AppleWebLink)};
        QTest::newRow("weblink beats carlife") << autoLink << iosMirror << on << on << webLinkCalls;
        QTest::newRow("weblink on") << autoLink << iosMirror << off << on << webLinkCalls;
        QTest::newRow("carlife on") << autoLink << iosMirror << on << off
                                    << QStringList {android(UsbControl::AndroidCarlife), timeoutOn,
                                                    apple(UsbControl::AppleCarlife)};
        QTest::newRow("autolink, ios mirror")
            << autoLink << iosMirror << off << off
            << QStringList {android(UsbControl::AndroidAutoLink), timeoutOff,
                            apple(UsbControl::AppleIosMirror)};
        QTest::newRow("android auto, ipod")
            << QVariant(SetupStrIdConst::setupAndroidAuto) << QVariant(SetupStrIdConst::setupIpod)
            << off << off
            << QStringList {android(UsbControl::AndroidAuto), timeoutOn,
                            apple(UsbControl::AppleIpod)};
        QTest::newRow("carplay only")
            << none << carplay << off << off << QStringList {apple(UsbControl::AppleCarplay)};
        QTest::newRow("unknown or other-case ids")
            << QVariant("bogus") << QVariant(carplay.toString().toUpper()) << off << off
            << QStringList {timeoutOn};
        QTest::newRow("switches do not convert")
            << none << none << QVariant(QPoint(1, 2)) << QVariant(QPoint(3, 4)) << QStringList();
        QTest::newRow("nothing stored") << QVariant() << QVariant() << QVariant() << QVariant()
                                        << QStringList {android(UsbControl::AndroidAuto), timeoutOn,
                                                        apple(UsbControl::AppleCarplay)};
    }

    void usbSetting()
    {
        QFETCH(QVariant, android);
        QFETCH(QVariant, apple);
        QFETCH(QVariant, carlife);
        QFETCH(QVariant, webLink);
        QFETCH(QStringList, calls);
        HostFramework::clearSettings();
        const QString keys[] = {
            SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
            SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice};
        const QVariant values[] = {android, apple, carlife, webLink};
        for (int i = 0; i < 4; ++i) {
            if (values[i].isValid())
                DataSaveControl::writeSettingData(keys[i], values[i], QString());
        }
        const int mark = journalMark();

        SysConfig().exeUsbSetting();

        QCOMPARE(journalLines(mark, {"Usb"}), calls << "UsbControl::startup()");
    }

private:
    // The journal lines of the USB calls.
    static QString android(UsbControl::AndroidDeviceMode mode)
    {
        return QStringLiteral("UsbControl::setAndroidDeviceMode(%1)").arg(mode);
    }
    static QString apple(UsbControl::AppleDeviceMode mode)
    {
        return QStringLiteral("UsbControl::setAppleDeviceMode(%1)").arg(mode);
    }
    static QString aoaTimeout(bool onTimeout)
    {
        return QStringLiteral("UsbControl::configAoaTimeoutAction(%1)")
            .arg(onTimeout ? "true" : "false");
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
