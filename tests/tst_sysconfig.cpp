#include <QRegularExpression>
#include <QtTest>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journal.h"
#include "journallines.h"
#include "messagecapture.h"
#include "setupstridconst.h"
#include "sysconfig.h"

namespace {

// A row stores this to mean "nothing stored".
const QVariant nothing;

void store(const QString &key, const QVariant &value)
{
    if (value.isValid())
        DataSaveControl::writeSettingData(key, value, QString());
}

int indexOfCall(const QString &call)
{
    return Journal::instance()->calls().indexOf(call);
}

} // namespace

class TestSysConfig : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<MessageCapture> m_log;

private Q_SLOTS:
    void init()
    {
        HostFramework::clearSettings();
        Journal::instance()->clear();
        m_log.reset(new MessageCapture);
    }
    void cleanup() { m_log.reset(); }

    void constructionReadiesStoreBeforeDefaults()
    {
        {
            SysConfig config;
            QCOMPARE(journalLines(0, {"D"}), QStringList({"DataSaveControl::initQSettingPath()", "DataDefault::initDataDefault()"}));
            Journal::instance()->clear();
        }
        QVERIFY(Journal::instance()->entries().isEmpty());
        QVERIFY(m_log->lines().isEmpty());
    }

    void language_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("code");
        const char *const table[] = {"de", "en", "fr", "es", "it", "nl", "cz", "fi", "dk", "no", "pl", "sl", "sw"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("index %d", i) << QVariant(QString::number(i)) << QString::fromLatin1(table[i]);
        const char *const fallBack[] = {"13", "-1", "fr", "", "0x2", "99999999999"};
        for (const char *text : fallBack)
            QTest::addRow("stored '%s'", text) << QVariant(QString::fromLatin1(text)) << "de";
        QTest::newRow("leading zero") << QVariant(QStringLiteral("07")) << "fi";
        // The desktop defaults table holds "1".
        QTest::newRow("nothing stored") << nothing << "en";
    }

    void language()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, code);
        store(SetupStrIdConst::setupSysLang, stored);
        SysConfig config;
        Journal::instance()->clear();

        config.exeLanguage();

        const QString key = SetupStrIdConst::setupSysLang;
        QCOMPARE(journalLines(0, {"D", "SysLanguage"}),
                 QStringList({"DataDefault::getDefault(" + key + ")", "DataSaveControl::readSettingData(" + key + ", 1, )",
                              "SysLanguage::exeLanguage(" + code + ")"}));
        // The default goes to the store as text.
        QCOMPARE(Journal::instance()->entries().at(1).args.at(1).userType(), int(QMetaType::QString));
        QCOMPARE(m_log->lines(), QStringList("read language: \"" + code + '"'));
        QVERIFY(m_log->journalSizeAt(0) <= indexOfCall(QStringLiteral("SysLanguage::exeLanguage")));
    }

    void layout_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("right");
        QTest::newRow("nothing stored") << nothing << false;
        QTest::newRow("true") << QVariant(true) << true;
        QTest::newRow("false") << QVariant(false) << false;
        QTest::newRow("text true") << QVariant(QStringLiteral("true")) << true;
        QTest::newRow("does not convert") << QVariant(QPoint(1, 2)) << false;
    }

    void layout()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, right);
        store(SetupStrIdConst::setupRightDrive, stored);
        SysConfig config;
        Journal::instance()->clear();

        config.exeLayout();

        const QString flag = right ? QStringLiteral("true") : QStringLiteral("false");
        // The defaults table is not asked for the drive side.
        QCOMPARE(journalLines(0, {"D", "UIManager"}),
                 QStringList({"DataSaveControl::readSettingData(" + SetupStrIdConst::setupRightDrive + ", false, )",
                              "UIManager::setRightDrive(" + flag + ", true)"}));
        QCOMPARE(Journal::instance()->entries().first().args.at(1).userType(), int(QMetaType::Bool));
        QCOMPARE(m_log->lines(), QStringList("read right mode: " + flag));
        QVERIFY(m_log->journalSizeAt(0) <= indexOfCall(QStringLiteral("UIManager::setRightDrive")));
    }

    void disConfigAppliesLanguageThenLayoutOnly()
    {
        store(SetupStrIdConst::setupSysLang, QStringLiteral("4"));
        store(SetupStrIdConst::setupRightDrive, true);
        // Stored USB choices must stay untouched at boot.
        store(SetupStrIdConst::setupWebLinkDevice, true);
        SysConfig config;
        Journal::instance()->clear();

        config.exeDisConfig();

        QCOMPARE(journalLines(0, {"SysLanguage", "UIManager", "Usb"}),
                 QStringList({"SysLanguage::exeLanguage(it)", "UIManager::setRightDrive(true, true)"}));
        QCOMPARE(m_log->lines(), QStringList({"read language: \"it\"", "read right mode: true"}));
    }

    void usbSetting_data()
    {
        QTest::addColumn<QVariant>("android");
        QTest::addColumn<QVariant>("apple");
        QTest::addColumn<QVariant>("carlife");
        QTest::addColumn<QVariant>("webLink");
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
                       carplay = SetupStrIdConst::setupCarplay, none = QString(), on = true, off = false;

        QTest::newRow("weblink and carlife on") << autoLink << iosMirror << on << on << usb(4, 0, 4);
        QTest::newRow("carlife on") << autoLink << iosMirror << on << off << usb(2, 1, 1);
        QTest::newRow("apple carplay only") << none << carplay << off << off << usb(-1, -1, 0);
        QTest::newRow("autolink, ios mirror") << autoLink << iosMirror << off << off << usb(1, 0, 3);
        QTest::newRow("unknown android id") << QVariant("bogus") << none << off << off << usb(-1, 1, -1);
        QTest::newRow("both empty") << none << none << off << off << usb(-1, -1, -1);
        QTest::newRow("android auto, ipod") << QVariant(SetupStrIdConst::setupAndroidAuto)
            << QVariant(SetupStrIdConst::setupIpod) << off << off << usb(0, 1, 2);
        QTest::newRow("per-platform carlife, weblink ids") << QVariant(SetupStrIdConst::setupCarlifeDevice)
            << QVariant(SetupStrIdConst::setupWebLinkDevice) << off << off << usb(2, 1, 4);
        QTest::newRow("per-platform weblink, carlife ids") << QVariant(SetupStrIdConst::setupWebLinkDevice)
            << QVariant(SetupStrIdConst::setupCarlifeDevice) << off << off << usb(4, 0, 1);
        QTest::newRow("ids are case-sensitive") << QVariant(autoLink.toString().toUpper())
            << QVariant(carplay.toString().toUpper()) << off << off << usb(-1, 1, -1);
        QTest::newRow("switches do not convert") << none << none << QVariant(QPoint(1, 2)) << QVariant(QPoint(3, 4))
            << usb(-1, -1, -1);
        // Desktop defaults: Android Auto and CarPlay, both switches off.
        QTest::newRow("nothing stored") << nothing << nothing << nothing << nothing << usb(0, 1, 0);
    }

    void usbSetting()
    {
        QFETCH(QVariant, android);
        QFETCH(QVariant, apple);
        QFETCH(QVariant, carlife);
        QFETCH(QVariant, webLink);
        QFETCH(QStringList, expected);
        const QString keys[] = {SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
                                SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice};
        store(keys[0], android);
        store(keys[1], apple);
        store(keys[2], carlife);
        store(keys[3], webLink);
        SysConfig config;
        Journal::instance()->clear();

        config.exeUsbSetting();

        QCOMPARE(journalLines(0, {"Usb"}), expected);
        // Four reads in this order, each default asked for just before and
        // handed on in the type the setting is read as.
        QVector<Journal::Entry> settings;
        for (const Journal::Entry &e : Journal::instance()->entries()) {
            if (e.call.startsWith(QLatin1String("Data")))
                settings << e;
        }
        QCOMPARE(settings.size(), 8);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(settings.at(2 * i).call + settings.at(2 * i).args.at(0).toString(), "DataDefault::getDefault" + keys[i]);
            const QVariantList &read = settings.at(2 * i + 1).args;
            QCOMPARE(settings.at(2 * i + 1).call + read.at(0).toString() + read.at(2).toString(),
                     "DataSaveControl::readSettingData" + keys[i]);
            QCOMPARE(read.at(1).userType(), i < 2 ? int(QMetaType::QString) : int(QMetaType::Bool));
        }

        // Time, text, time: all written before the first read.
        const QRegularExpression time(QStringLiteral("^QTime\\(\"\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\"\\)$"));
        const QStringList log = m_log->lines();
        QCOMPARE(log.size(), 3);
        QVERIFY2(time.match(log.at(0)).hasMatch() && time.match(log.at(2)).hasMatch(), qPrintable(log.join('\n')));
        QCOMPARE(log.at(1), QStringLiteral("SysConfig: exeUsbSetting"));
        QVERIFY(m_log->journalSizeAt(2) <= indexOfCall(QStringLiteral("DataDefault::getDefault")));
    }

    void usbSettingReadsAfreshEachCall()
    {
        SysConfig config;
        store(SetupStrIdConst::setupWebLinkDevice, true);
        config.exeUsbSetting();
        store(SetupStrIdConst::setupWebLinkDevice, false);
        store(SetupStrIdConst::setupCarlifeDevice, true);
        const int mark = journalMark();
        config.exeUsbSetting();
        QCOMPARE(journalLines(mark, {"Usb"}),
                 QStringList({"UsbControl::setAndroidDeviceMode(2)", "UsbControl::configAoaTimeoutAction(true)",
                              "UsbControl::setAppleDeviceMode(1)", "UsbControl::startup()"}));
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
