#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "appdata.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "setupstridconst.h"
#include "svccontrol.h"

namespace {
// Settings go to a directory of this run even when started by hand, before
// anything reads the config location.
QTemporaryDir s_config;
const bool s_configSet = qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_config.path()));
} // namespace

class TestHostFramework : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void settingsRoundTrip();
    void defaults_data();
    void defaults();
    void appDataTwoThreads();
    void audioInitTellsTruth();
    void svcControlStages();
    void svcControlDirect();

private:
    QTemporaryDir m_dir;
};

void TestHostFramework::init()
{
    QVERIFY(s_configSet);
    Journal::instance()->clear();
}

void TestHostFramework::settingsRoundTrip()
{
    const QString key = SetupStrIdConst::setupAlterVolume;
    QCOMPARE(DataSaveControl::readSettingData(key, 7, QString()), QVariant(7));
    DataSaveControl::writeSettingData(key, 22, QString());
    DataSaveControl::writeSettingData(key, 3, QStringLiteral("other"));
    QCOMPARE(DataSaveControl::readSettingData(key, 7, QString()).toInt(), 22);
    QCOMPARE(DataSaveControl::readSettingData(key, 7, QStringLiteral("other")).toInt(), 3);
    // Stored where XDG_CONFIG_HOME points, as an INI file.
    QVERIFY(QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1String("/hostframework/settings.ini")));
    HostFramework::clearSettings();
    QCOMPARE(DataSaveControl::readSettingData(key, 7, QString()), QVariant(7));
}

void TestHostFramework::defaults_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("drive side has none") << SetupStrIdConst::setupRightDrive << QVariant();
    QTest::newRow("language en") << SetupStrIdConst::setupSysLang << QVariant(QStringLiteral("1"));
    QTest::newRow("beep on") << SetupStrIdConst::setupSysBeep << QVariant(true);
    QTest::newRow("volume") << SetupStrIdConst::setupAlterVolume << QVariant(15);
    QTest::newRow("rds time") << SetupStrIdConst::setupSyncRdsTime << QVariant(true);
    QTest::newRow("android") << SetupStrIdConst::setupAndroidDevice << QVariant(SetupStrIdConst::setupAndroidAuto);
    QTest::newRow("apple") << SetupStrIdConst::setupAppleDevice << QVariant(SetupStrIdConst::setupCarplay);
    QTest::newRow("carlife") << SetupStrIdConst::setupCarlifeDevice << QVariant(false);
    QTest::newRow("weblink") << SetupStrIdConst::setupWebLinkDevice << QVariant(false);
    QTest::newRow("mode id") << SetupStrIdConst::setupIpod << QVariant();
}

void TestHostFramework::defaults()
{
    QFETCH(QString, key);
    QFETCH(QVariant, expected);
    DataDefault::initDataDefault();
    const QVariant value = DataDefault::getDefault(key);
    QCOMPARE(value.isValid(), expected.isValid());
    if (expected.isValid())
        QCOMPARE(value, expected);
    // Keys that shared a text would let a wrong key pass every test.
    const QStringList keys{SetupStrIdConst::setupRightDrive, SetupStrIdConst::setupSysLang, SetupStrIdConst::setupSysBeep,
                           SetupStrIdConst::setupAlterVolume, SetupStrIdConst::setupSyncRdsTime,
                           SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAppleDevice,
                           SetupStrIdConst::setupCarlifeDevice, SetupStrIdConst::setupWebLinkDevice,
                           SetupStrIdConst::setupCarplay, SetupStrIdConst::setupIpod, SetupStrIdConst::setupiOSMirror,
                           SetupStrIdConst::setupAndroidAuto, SetupStrIdConst::setupAutoLink};
    QCOMPARE(keys.count(key), 1);
}

void TestHostFramework::appDataTwoThreads()
{
    // Strings torn by an unguarded write crash or read back as neither value.
    const QStringList values{QStringLiteral("AB00000000001234"), QStringLiteral("a much longer identity text, surely")};
    AppData *data = AppData::GetInstance();
    auto hammer = [&](int first) {
        for (int i = 0; i < 20000; ++i) {
            data->setUUID(values[(first + i) % 2]);
            data->setCurSource(first);
            if (!values.contains(data->uuid()))
                return false;
        }
        return true;
    };
    Journal::setEnabled(false);
    bool okA = false;
    QScopedPointer<QThread> other(QThread::create([&] { okA = hammer(0); }));
    other->start();
    const bool okB = hammer(1);
    other->wait();
    Journal::setEnabled(true);
    QVERIFY(okA && okB);
    QVERIFY(data->curSource() == 0 || data->curSource() == 1);
}

void TestHostFramework::audioInitTellsTruth()
{
    const QString live = m_dir.filePath(QStringLiteral("live"));
    QLocalServer server;
    QVERIFY(server.listen(live));
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(live));
    QVERIFY(AppData::GetInstance()->AudioInitOK());
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("none"))));
    QVERIFY(!AppData::GetInstance()->AudioInitOK());
    qputenv("PULSE_SERVER", "tcp:localhost");
    QVERIFY(!AppData::GetInstance()->AudioInitOK());
    qunsetenv("PULSE_SERVER");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    QVERIFY(!AppData::GetInstance()->AudioInitOK());
}

void TestHostFramework::svcControlStages()
{
    SvcControl svc;
    QSignalSpy ready(&svc, SIGNAL(stageReady(SvcControl::ExeStage)));
    QSignalSpy finished(&svc, SIGNAL(finished()));
    svc.exeStage(SvcControl::DirectStage, false);
    svc.exeStage(SvcControl::NormalStage, false);
    QTRY_COMPARE(ready.count(), 2);
    QCOMPARE(ready.at(0).at(0).value<SvcControl::ExeStage>(), SvcControl::DirectStage);
    QCOMPARE(ready.at(1).at(0).value<SvcControl::ExeStage>(), SvcControl::NormalStage);
    QCOMPARE(HostFramework::runningServices().size(), 5);

    svc.stop(false);
    QCOMPARE(finished.count(), 0); // only from the event loop
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(HostFramework::runningServices().isEmpty());

    // A stage asked for while the worker winds down still runs and reports.
    svc.exeStage(SvcControl::DirectStage, true);
    svc.stop(false);
    svc.exeStage(SvcControl::DirectStage, false);
    QTRY_COMPARE(ready.count(), 3);
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(HostFramework::runningServices(), (QStringList{"settings", "audio"}));
}

void TestHostFramework::svcControlDirect()
{
    auto *svc = new SvcControl;
    QCOMPARE(HostFramework::lastSvcControl(), svc);
    svc->exeStage(SvcControl::DirectStage, true);
    QCOMPARE(HostFramework::runningServices(), (QStringList{"settings", "audio"}));
    delete svc; // stops what still runs
    QVERIFY(HostFramework::runningServices().isEmpty());
    QVERIFY(!HostFramework::lastSvcControl());

    // The direct start-up's sequence, the controller deleted right after stop().
    svc = new SvcControl;
    svc->exeStage(SvcControl::DirectStage, true);
    svc->exeStage(SvcControl::NormalStage, true);
    QCOMPARE(HostFramework::runningServices().size(), 5);
    svc->stop(false);
    delete svc;
    QVERIFY(HostFramework::runningServices().isEmpty());
}

QTEST_MAIN(TestHostFramework)
#include "tst_hostframework.moc"
