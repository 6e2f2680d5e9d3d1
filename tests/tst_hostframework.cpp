#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>
#include <QtTest>

#include "appdata.h"
#include "basecontrol.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "firstframemonitor.h"
#include "hostframework.h"
#include "module.h"
#include "modulemanager.h"
#include "platformcontrol.h"
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
    void keysDistinct();
    void journalOrder();
    void journalDisabled();
    void appDataTwoThreads();
    void audioInitTellsTruth();
    void switches();
    void svcControlStages();
    void svcControlDirect();
    void svcControlRestartAfterStop();
    void firstFrameAfterExpose();

private:
    QTemporaryDir m_dir;
};

void TestHostFramework::init()
{
    QVERIFY(s_configSet);
    Journal::setEnabled(true);
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
    const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1String("/hostframework/settings.ini");
    QVERIFY2(QFile::exists(file), qPrintable(file));

    const auto entries = Journal::instance()->entries();
    QCOMPARE(entries.last().call, QStringLiteral("DataSaveControl::readSettingData"));
    QCOMPARE(entries.last().args, (QVariantList{key, 7, QStringLiteral("other")}));

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
    QCOMPARE(Journal::instance()->calls(),
             (QStringList{"DataDefault::initDataDefault", "DataDefault::getDefault"}));
}

void TestHostFramework::keysDistinct()
{
    const QStringList keys{SetupStrIdConst::setupRightDrive, SetupStrIdConst::setupSysLang,
                           SetupStrIdConst::setupSysBeep, SetupStrIdConst::setupAlterVolume,
                           SetupStrIdConst::setupSyncRdsTime, SetupStrIdConst::setupAndroidDevice,
                           SetupStrIdConst::setupAppleDevice, SetupStrIdConst::setupCarlifeDevice,
                           SetupStrIdConst::setupWebLinkDevice, SetupStrIdConst::setupCarplay,
                           SetupStrIdConst::setupIpod, SetupStrIdConst::setupiOSMirror,
                           SetupStrIdConst::setupAndroidAuto, SetupStrIdConst::setupAutoLink};
    QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), keys.size());
    QVERIFY(!keys.contains(QString()));
}

void TestHostFramework::journalOrder()
{
    QSignalSpy recorded(Journal::instance(), &Journal::recorded);
    BaseControl::getInstance()->sendMcuKeyPressedSignal(13, 1);
    AppData::GetInstance()->setCurSource(SOURCE_ID_RADIO);
    tag_MCUSRV_TO_MAIN_APP_T frame{};
    frame.type = 2;
    frame.msg = 0x53;
    frame.length = 1;
    frame.data[0] = 0xAB;
    BaseControl::getInstance()->RecevieSIMMsgFromMcu(frame);
    unsigned char bytes[3] = {7, 9, 11};
    BaseControl::getInstance()->RecevieAutoTestFromMcu(9, bytes);
    MCU_STEER_KEY_STUDY_DATA study{{1, 2, 3, 4, 5, 6}, {10, 20, 30, 40, 50, 60}};
    BaseControl::getInstance()->ReceiveKeyStudyMsgFromMcu(study);

    const auto entries = Journal::instance()->entries();
    QCOMPARE(recorded.count(), 5);
    QCOMPARE(entries.size(), 5);
    QCOMPARE(entries[0].call, QStringLiteral("BaseControl::sendMcuKeyPressedSignal"));
    QCOMPARE(entries[0].args, (QVariantList{13, 1}));
    QCOMPARE(entries[1].call, QStringLiteral("AppData::setCurSource"));
    QCOMPARE(entries[1].args, QVariantList{int(SOURCE_ID_RADIO)});
    const QByteArray whole = entries[2].args.value(0).toByteArray();
    QCOMPARE(whole.size(), 268);
    QCOMPARE(whole, QByteArray(reinterpret_cast<const char *>(&frame), 268));
    QCOMPARE(entries[3].args, (QVariantList{9, QByteArray("\x07\x09")}));
    QCOMPARE(entries[4].args, (QVariantList{QByteArray("\x01\x02\x03\x04\x05\x06"), 10, 20, 30, 40, 50, 60}));
}

void TestHostFramework::journalDisabled()
{
    Journal::setEnabled(false);
    BaseControl::getInstance()->ejectSlot();
    AppData::GetInstance()->setCurSource(SOURCE_ID_DISC);
    Journal::setEnabled(true);
    QVERIFY(Journal::instance()->entries().isEmpty());
    QCOMPARE(AppData::GetInstance()->curSource(), int(SOURCE_ID_DISC));
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
            data->setMcuType(short(first));
            if (!values.contains(data->uuid()))
                return false;
        }
        return true;
    };
    Journal::setEnabled(false);
    bool okA = false;
    QThread *other = QThread::create([&] { okA = hammer(0); });
    other->start();
    const bool okB = hammer(1);
    other->wait();
    delete other;
    Journal::setEnabled(true);
    QVERIFY(okA);
    QVERIFY(okB);
    QVERIFY(data->curSource() == 0 || data->curSource() == 1);
    QVERIFY(data->mcuType() == 0 || data->mcuType() == 1);
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

void TestHostFramework::switches()
{
    HostFramework::setPlatformControlAvailable(false);
    QVERIFY(!PlatformControl::getInstance());
    HostFramework::setPlatformControlAvailable(true);
    QVERIFY(PlatformControl::getInstance());

    HostFramework::setInfoModuleAvailable(false);
    QVERIFY(!zyappframework::ModuleManager::self()->getModule(QStringLiteral("info")));
    HostFramework::setInfoModuleAvailable(true);
    auto info = zyappframework::ModuleManager::self()->getModule(QStringLiteral("info"));
    QVERIFY(info);
    QVERIFY(info->getObject()->metaObject()->indexOfSlot("allServiceReady()") >= 0);

    const QString date = BaseControl::getInstance()->getDateVersion();
    QVERIFY2(date.size() == 8 && date.toInt() > 20200000, qPrintable(date));
}

void TestHostFramework::svcControlStages()
{
    SvcControl svc;
    QSignalSpy ready(&svc, SIGNAL(stageReady(SvcControl::ExeStage)));
    QSignalSpy finished(&svc, SIGNAL(finished()));

    svc.exeStage(SvcControl::DirectStage, false);
    QTRY_COMPARE(ready.count(), 1);
    QCOMPARE(ready.at(0).at(0).value<SvcControl::ExeStage>(), SvcControl::DirectStage);
    QVERIFY(HostFramework::runningServices().contains(QStringLiteral("audio")));

    svc.exeStage(SvcControl::NormalStage, false);
    QTRY_COMPARE(ready.count(), 2);
    QCOMPARE(ready.at(1).at(0).value<SvcControl::ExeStage>(), SvcControl::NormalStage);
    QVERIFY(HostFramework::runningServices().contains(QStringLiteral("media")));

    svc.stop(false);
    QCOMPARE(finished.count(), 0); // only from the event loop
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(HostFramework::runningServices().isEmpty());
    QCOMPARE(Journal::instance()->calls(),
             (QStringList{"SvcControl::exeStage", "SvcControl::exeStage", "SvcControl::stop"}));
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

void TestHostFramework::svcControlRestartAfterStop()
{
    SvcControl svc;
    QSignalSpy ready(&svc, SIGNAL(stageReady(SvcControl::ExeStage)));
    QSignalSpy finished(&svc, SIGNAL(finished()));
    svc.exeStage(SvcControl::DirectStage, true);
    svc.stop(false);
    // A stage asked for while the worker winds down still runs and reports.
    svc.exeStage(SvcControl::DirectStage, false);
    QTRY_COMPARE(ready.count(), 1);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(HostFramework::runningServices(), (QStringList{"settings", "audio"}));
}

void TestHostFramework::firstFrameAfterExpose()
{
    QVERIFY(!HostFramework::firstFrameShown());
    FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
    QSignalSpy flushed(monitor, SIGNAL(procFlushDone()));
    QVERIFY(!monitor->preCheck());
    QCOMPARE(flushed.count(), 0);

    QWindow window;
    window.resize(64, 64);
    window.show();
    QTRY_COMPARE(flushed.count(), 1);
    QVERIFY(HostFramework::firstFrameShown());

    // Once shown, every further check reports within the call.
    QVERIFY(monitor->preCheck());
    QCOMPARE(flushed.count(), 2);
    FirstFrameMonitor::releaseInstance();
    QCOMPARE(Journal::instance()->calls(),
             (QStringList{"FirstFrameMonitor::getInstance", "FirstFrameMonitor::preCheck",
                          "FirstFrameMonitor::preCheck", "FirstFrameMonitor::releaseInstance"}));
}

QTEST_MAIN(TestHostFramework)
#include "tst_hostframework.moc"
