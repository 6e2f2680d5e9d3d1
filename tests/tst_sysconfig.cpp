#include <QtTest>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "messagecapture.h"
#include "setupstridconst.h"
#include "sysconfig.h"

namespace {

// Stores the settings that are valid, and nothing else.
void store(const QStringList &keys, const QVariantList &values)
{
    HostFramework::clearSettings();
    for (int i = 0; i < keys.size(); ++i) {
        if (values.at(i).isValid())
            DataSaveControl::writeSettingData(keys.at(i), values.at(i), QString());
    }
}

} // namespace

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
        const char *const codes[] = {"de", "en", "fr", "es", "it", "nl", "cz", "fi", "dk", "no", "pl", "sl", "sw"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("language %d", i) << QVariant(QString::number(i)) << QVariant(i % 2 == 0) << codes[i]
                                            << (i % 2 == 0 ? "true" : "false");
        for (const char *text : {"13", "-1", "fr", ""})
            QTest::addRow("language '%s'", text) << QVariant(QString::fromLatin1(text)) << QVariant() << "de" << "false";
        // The desktop default is "1"; the drive side has no default of its own.
        QTest::newRow("nothing stored") << QVariant() << QVariant() << "en" << "false";
        QTest::newRow("drive side does not convert") << QVariant() << QVariant(QPoint(1, 2)) << "en" << "false";
    }

    void disConfig()
    {
        QFETCH(QVariant, language);
        QFETCH(QVariant, rightDrive);
        QFETCH(QString, code);
        QFETCH(QString, right);
        store({SetupStrIdConst::setupSysLang, SetupStrIdConst::setupRightDrive}, {language, rightDrive});
        m_log->take();
        const int mark = journalMark();

        SysConfig().exeDisConfig();

        // The store is ready before its defaults; the language goes in before
        // the drive side, and nothing of the USB modes at start.
        QCOMPARE(journalLines(mark, {"DataSaveControl::init", "DataDefault::init", "SysLanguage", "UIManager", "Usb"}),
                 QStringList({"DataSaveControl::initQSettingPath()", "DataDefault::initDataDefault()",
                              "SysLanguage::exeLanguage(" + code + ")", "UIManager::setRightDrive(" + right + ", true)"}));
        QCOMPARE(m_log->take(), QStringList({"read language: \"" + code + '"', "read right mode: " + right}));
    }

    void usbSetting_data()
    {
        QTest::addColumn<QVariantList>("stored"); // Android id, Apple id, CarLife, WebLink
        QTest::addColumn<QStringList>("expected");

        // The calls made: Android mode and AOA action, Apple mode; -1 for none.
        auto usb = [](int android, int aoa, int apple) {
            QStringList calls;
            if (android >= 0)
                calls << QStringLiteral("UsbControl::setAndroidDeviceMode(%1)").arg(android);
            if (aoa >= 0)
                calls << QStringLiteral("UsbControl::configAoaTimeoutAction(%1)").arg(aoa ? "true" : "false");
            if (apple >= 0)
                calls << QStringLiteral("UsbControl::setAppleDeviceMode(%1)").arg(apple);
            return calls << QStringLiteral("UsbControl::startup()");
        };
        const QVariant autoLink = SetupStrIdConst::setupAutoLink, iosMirror = SetupStrIdConst::setupiOSMirror,
                       carlife = SetupStrIdConst::setupCarlifeDevice, webLink = SetupStrIdConst::setupWebLinkDevice,
                       none = QString(), on = true, off = false;

        QTest::newRow("weblink and carlife on") << QVariantList({autoLink, iosMirror, on, on}) << usb(4, 0, 4);
        QTest::newRow("carlife on") << QVariantList({autoLink, iosMirror, on, off}) << usb(2, 1, 1);
        QTest::newRow("autolink, ios mirror") << QVariantList({autoLink, iosMirror, off, off}) << usb(1, 0, 3);
        QTest::newRow("android auto, ipod") << QVariantList({SetupStrIdConst::setupAndroidAuto, SetupStrIdConst::setupIpod,
                                                             off, off}) << usb(0, 1, 2);
        QTest::newRow("carlife, weblink ids") << QVariantList({carlife, webLink, off, off}) << usb(2, 1, 4);
        QTest::newRow("weblink, carlife ids") << QVariantList({webLink, carlife, off, off}) << usb(4, 0, 1);
        QTest::newRow("apple carplay only") << QVariantList({none, SetupStrIdConst::setupCarplay, off, off})
                                            << usb(-1, -1, 0);
        QTest::newRow("unknown android id") << QVariantList({"bogus", none, off, off}) << usb(-1, 1, -1);
        QTest::newRow("both empty") << QVariantList({none, none, off, off}) << usb(-1, -1, -1);
        // Desktop defaults: Android Auto and CarPlay, both switches off.
        QTest::newRow("nothing stored") << QVariantList({{}, {}, {}, {}}) << usb(0, 1, 0);
    }

    void usbSetting()
    {
        QFETCH(QVariantList, stored);
        QFETCH(QStringList, expected);
        store({SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
               SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice}, stored);
        SysConfig config;
        m_log->take();
        const int mark = journalMark();

        config.exeUsbSetting();

        QCOMPARE(journalLines(mark, {"Usb"}), expected);
        // Time, text, time.
        const QStringList log = m_log->take();
        QCOMPARE(log.size(), 3);
        QVERIFY(log.at(0).startsWith("QTime(\"") && log.at(2).startsWith("QTime(\""));
        QCOMPARE(log.at(1), QStringLiteral("SysConfig: exeUsbSetting"));
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
