#include <QtTest>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "messagecapture.h"
#include "setupstridconst.h"
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
        QTest::addColumn<QString>("calls");
        const QVariant autoLink = SetupStrIdConst::setupAutoLink,
                       iosMirror = SetupStrIdConst::setupiOSMirror,
                       carplay = SetupStrIdConst::setupCarplay, none = QString(), on = true,
                       off = false;
        // The calls as android mode, AOA timeout action, apple mode; - for none.
        QTest::newRow("weblink beats carlife") << autoLink << iosMirror << on << on << "4 0 4";
        QTest::newRow("weblink on") << autoLink << iosMirror << off << on << "4 0 4";
        QTest::newRow("carlife on") << autoLink << iosMirror << on << off << "2 1 1";
        QTest::newRow("autolink, ios mirror") << autoLink << iosMirror << off << off << "1 0 3";
        QTest::newRow("android auto, ipod")
            << QVariant(SetupStrIdConst::setupAndroidAuto) << QVariant(SetupStrIdConst::setupIpod)
            << off << off << "0 1 2";
        QTest::newRow("carplay only") << none << carplay << off << off << "- - 0";
        QTest::newRow("unknown or other-case ids")
            << QVariant("bogus") << QVariant(carplay.toString().toUpper()) << off << off << "- 1 -";
        QTest::newRow("switches do not convert")
            << none << none << QVariant(QPoint(1, 2)) << QVariant(QPoint(3, 4)) << "- - -";
        QTest::newRow("nothing stored")
            << QVariant() << QVariant() << QVariant() << QVariant() << "0 1 0";
    }

    void usbSetting()
    {
        QFETCH(QVariant, android);
        QFETCH(QVariant, apple);
        QFETCH(QVariant, carlife);
        QFETCH(QVariant, webLink);
        QFETCH(QString, calls);
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

        const QStringList modes = calls.split(' ');
        QStringList expected;
        if (modes[0] != "-")
            expected << "UsbControl::setAndroidDeviceMode(" + modes[0] + ')';
        if (modes[1] != "-")
            expected << QStringLiteral("UsbControl::configAoaTimeoutAction(%1)")
                            .arg(modes[1] == "1" ? "true" : "false");
        if (modes[2] != "-")
            expected << "UsbControl::setAppleDeviceMode(" + modes[2] + ')';
        QCOMPARE(journalLines(mark, {"Usb"}), expected << "UsbControl::startup()");
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
