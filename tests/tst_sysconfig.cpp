#include <QRegularExpression>
#include <QtTest>

#include "datadefault.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "journal.h"
#include "setupstridconst.h"
#include "sysconfig.h"

namespace {

struct LogLine {
    QString text;
    int journalSize; // entries in the journal when the line was written
};
QVector<LogLine> s_log;

void captureLog(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    s_log.append({msg, Journal::instance()->entries().size()});
}

QStringList logTexts()
{
    QStringList out;
    for (const LogLine &l : qAsConst(s_log))
        out << l.text;
    return out;
}

QString describe(const Journal::Entry &e)
{
    QStringList args;
    for (const QVariant &a : e.args)
        args << a.toString();
    return e.call + QLatin1Char('(') + args.join(QLatin1Char(',')) + QLatin1Char(')');
}

// The journal without the framework calls this unit does not make.
QStringList calls(const QStringList &prefixes)
{
    QStringList out;
    const auto entries = Journal::instance()->entries();
    for (const Journal::Entry &e : entries) {
        for (const QString &p : prefixes) {
            if (e.call.startsWith(p)) {
                out << describe(e);
                break;
            }
        }
    }
    return out;
}

int indexOfCall(const QString &call)
{
    const auto entries = Journal::instance()->entries();
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).call == call)
            return i;
    }
    return -1;
}

// A row stores this to mean "nothing stored".
const QVariant nothing;

void store(const QString &key, const QVariant &value)
{
    if (value.isValid())
        DataSaveControl::writeSettingData(key, value, QString());
}

const QRegularExpression timeLine(QStringLiteral("^QTime\\(\"\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\"\\)$"));

} // namespace

class TestSysConfig : public QObject
{
    Q_OBJECT

private:
    QtMessageHandler m_previousHandler = nullptr;

private Q_SLOTS:
    void init()
    {
        HostFramework::clearSettings();
        Journal::instance()->clear();
        s_log.clear();
        m_previousHandler = qInstallMessageHandler(captureLog);
    }
    void cleanup() { qInstallMessageHandler(m_previousHandler); }

    void constructionReadiesStoreBeforeDefaults()
    {
        {
            SysConfig config;
            QCOMPARE(calls({QStringLiteral("D")}),
                     QStringList({"DataSaveControl::initQSettingPath()", "DataDefault::initDataDefault()"}));
            Journal::instance()->clear();
        }
        QVERIFY(Journal::instance()->entries().isEmpty());
        QVERIFY(s_log.isEmpty());
    }

    void language_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("code");
        const char *const table[] = {"de", "en", "fr", "es", "it", "nl", "cz",
                                     "fi", "dk", "no", "pl", "sl", "sw"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("index %d", i) << QVariant(QString::number(i)) << QString::fromLatin1(table[i]);
        QTest::newRow("13") << QVariant(QStringLiteral("13")) << "de";
        QTest::newRow("-1") << QVariant(QStringLiteral("-1")) << "de";
        QTest::newRow("code, not index") << QVariant(QStringLiteral("fr")) << "de";
        QTest::newRow("empty") << QVariant(QString()) << "de";
        QTest::newRow("hex is not decimal") << QVariant(QStringLiteral("0x2")) << "de";
        QTest::newRow("leading zero") << QVariant(QStringLiteral("07")) << "fi";
        QTest::newRow("huge") << QVariant(QStringLiteral("99999999999")) << "de";
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
        QCOMPARE(calls({QStringLiteral("D"), QStringLiteral("SysLanguage")}),
                 QStringList({"DataDefault::getDefault(" + key + ")",
                              "DataSaveControl::readSettingData(" + key + ",1,)",
                              "SysLanguage::exeLanguage(" + code + ")"}));
        // The default goes to the store as text.
        const auto entries = Journal::instance()->entries();
        QCOMPARE(entries.at(1).args.at(1).userType(), int(QMetaType::QString));
        QCOMPARE(logTexts(), QStringList("read language: \"" + code + '"'));
        QVERIFY(s_log.first().journalSize <= indexOfCall(QStringLiteral("SysLanguage::exeLanguage")));
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
        QCOMPARE(calls({QStringLiteral("D"), QStringLiteral("UIManager")}),
                 QStringList({"DataSaveControl::readSettingData(" + SetupStrIdConst::setupRightDrive + ",false,)",
                              "UIManager::setRightDrive(" + flag + ",true)"}));
        QCOMPARE(Journal::instance()->entries().first().args.at(1).userType(), int(QMetaType::Bool));
        QCOMPARE(logTexts(), QStringList("read right mode: " + flag));
        QVERIFY(s_log.first().journalSize <= indexOfCall(QStringLiteral("UIManager::setRightDrive")));
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

        QCOMPARE(calls({QStringLiteral("SysLanguage"), QStringLiteral("UIManager"), QStringLiteral("Usb")}),
                 QStringList({"SysLanguage::exeLanguage(it)", "UIManager::setRightDrive(true,true)"}));
        QCOMPARE(logTexts(), QStringList({"read language: \"it\"", "read right mode: true"}));
    }

    void usbSetting_data()
    {
        QTest::addColumn<QVariant>("android");
        QTest::addColumn<QVariant>("apple");
        QTest::addColumn<QVariant>("carlife");
        QTest::addColumn<QVariant>("webLink");
        QTest::addColumn<QStringList>("expected");

        const QString autoLink = SetupStrIdConst::setupAutoLink;
        const QString iosMirror = SetupStrIdConst::setupiOSMirror;
        const QString carplay = SetupStrIdConst::setupCarplay;
        const QString mode = QStringLiteral("UsbControl::setAndroidDeviceMode(%1)");
        const QString appleMode = QStringLiteral("UsbControl::setAppleDeviceMode(%1)");
        const QString aoa = QStringLiteral("UsbControl::configAoaTimeoutAction(%1)");
        const QString startup = QStringLiteral("UsbControl::startup()");

        QTest::newRow("weblink and carlife on") << QVariant(autoLink) << QVariant(iosMirror) << QVariant(true)
            << QVariant(true) << QStringList({mode.arg(4), aoa.arg("false"), appleMode.arg(4), startup});
        QTest::newRow("carlife on") << QVariant(autoLink) << QVariant(iosMirror) << QVariant(true)
            << QVariant(false) << QStringList({mode.arg(2), aoa.arg("true"), appleMode.arg(1), startup});
        QTest::newRow("apple carplay only") << QVariant(QString()) << QVariant(carplay) << QVariant(false)
            << QVariant(false) << QStringList({appleMode.arg(0), startup});
        QTest::newRow("autolink, ios mirror") << QVariant(autoLink) << QVariant(iosMirror) << QVariant(false)
            << QVariant(false) << QStringList({mode.arg(1), aoa.arg("false"), appleMode.arg(3), startup});
        QTest::newRow("unknown android id") << QVariant(QStringLiteral("bogus")) << QVariant(QString())
            << QVariant(false) << QVariant(false) << QStringList({aoa.arg("true"), startup});
        QTest::newRow("both empty") << QVariant(QString()) << QVariant(QString()) << QVariant(false)
            << QVariant(false) << QStringList({startup});
        QTest::newRow("android auto, ipod") << QVariant(SetupStrIdConst::setupAndroidAuto)
            << QVariant(SetupStrIdConst::setupIpod) << QVariant(false) << QVariant(false)
            << QStringList({mode.arg(0), aoa.arg("true"), appleMode.arg(2), startup});
        QTest::newRow("per-platform carlife, weblink ids") << QVariant(SetupStrIdConst::setupCarlifeDevice)
            << QVariant(SetupStrIdConst::setupWebLinkDevice) << QVariant(false) << QVariant(false)
            << QStringList({mode.arg(2), aoa.arg("true"), appleMode.arg(4), startup});
        QTest::newRow("per-platform weblink, carlife ids") << QVariant(SetupStrIdConst::setupWebLinkDevice)
            << QVariant(SetupStrIdConst::setupCarlifeDevice) << QVariant(false) << QVariant(false)
            << QStringList({mode.arg(4), aoa.arg("false"), appleMode.arg(1), startup});
        QTest::newRow("ids are case-sensitive") << QVariant(autoLink.toUpper()) << QVariant(carplay.toUpper())
            << QVariant(false) << QVariant(false) << QStringList({aoa.arg("true"), startup});
        QTest::newRow("switches do not convert") << QVariant(QString()) << QVariant(QString())
            << QVariant(QPoint(1, 2)) << QVariant(QPoint(3, 4)) << QStringList({startup});
        // Desktop defaults: Android Auto and CarPlay, both switches off.
        QTest::newRow("nothing stored") << nothing << nothing << nothing << nothing
            << QStringList({mode.arg(0), aoa.arg("true"), appleMode.arg(0), startup});
    }

    void usbSetting()
    {
        QFETCH(QVariant, android);
        QFETCH(QVariant, apple);
        QFETCH(QVariant, carlife);
        QFETCH(QVariant, webLink);
        QFETCH(QStringList, expected);
        store(SetupStrIdConst::setupAndroidDevice, android);
        store(SetupStrIdConst::setupAppleDevice, apple);
        store(SetupStrIdConst::setupCarlifeDevice, carlife);
        store(SetupStrIdConst::setupWebLinkDevice, webLink);
        SysConfig config;
        Journal::instance()->clear();

        config.exeUsbSetting();

        QCOMPARE(calls({QStringLiteral("Usb")}), expected);

        // Four reads in this order, each default asked for just before and
        // handed on in the type the setting is read as.
        const struct {
            QString key;
            int type;
        } reads[] = {
            {SetupStrIdConst::setupAndroidDevice, QMetaType::QString},
            {SetupStrIdConst::setupAppleDevice, QMetaType::QString},
            {SetupStrIdConst::setupCarlifeDevice, QMetaType::Bool},
            {SetupStrIdConst::setupWebLinkDevice, QMetaType::Bool},
        };
        QVector<Journal::Entry> settings;
        for (const Journal::Entry &e : Journal::instance()->entries()) {
            if (e.call.startsWith(QLatin1String("Data")))
                settings << e;
        }
        QCOMPARE(settings.size(), 8);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(settings.at(2 * i).call, QStringLiteral("DataDefault::getDefault"));
            QCOMPARE(settings.at(2 * i).args.at(0).toString(), reads[i].key);
            QCOMPARE(settings.at(2 * i + 1).call, QStringLiteral("DataSaveControl::readSettingData"));
            QCOMPARE(settings.at(2 * i + 1).args.at(0).toString(), reads[i].key);
            QCOMPARE(settings.at(2 * i + 1).args.at(1).userType(), reads[i].type);
            QCOMPARE(settings.at(2 * i + 1).args.at(2).toString(), QString());
        }

        // Time, text, time: all written before the first read.
        QCOMPARE(s_log.size(), 3);
        QVERIFY2(timeLine.match(s_log.at(0).text).hasMatch(), qPrintable(s_log.at(0).text));
        QCOMPARE(s_log.at(1).text, QStringLiteral("SysConfig: exeUsbSetting"));
        QVERIFY2(timeLine.match(s_log.at(2).text).hasMatch(), qPrintable(s_log.at(2).text));
        QVERIFY(s_log.at(2).journalSize <= indexOfCall(QStringLiteral("DataDefault::getDefault")));
    }

    void usbSettingReadsAfreshEachCall()
    {
        SysConfig config;
        store(SetupStrIdConst::setupWebLinkDevice, true);
        config.exeUsbSetting();
        store(SetupStrIdConst::setupWebLinkDevice, false);
        store(SetupStrIdConst::setupCarlifeDevice, true);
        Journal::instance()->clear();
        config.exeUsbSetting();
        QCOMPARE(calls({QStringLiteral("Usb")}),
                 QStringList({"UsbControl::setAndroidDeviceMode(2)", "UsbControl::configAoaTimeoutAction(true)",
                              "UsbControl::setAppleDeviceMode(1)", "UsbControl::startup()"}));
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
