#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include "appdata.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "setupstridconst.h"
#include "svccontrol.h"

using S = SetupStrIdConst;

// Settings go to a directory of this run even when started by hand, before
// anything reads the config location.
static QTemporaryDir s_config;
static const bool s_configSet = qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_config.path()));

class TestHostFramework : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settings()
    {
        QVERIFY(s_configSet);
        const QString key = S::setupAlterVolume;
        DataSaveControl::writeSettingData(key, 22, QString());
        DataSaveControl::writeSettingData(key, 3, QStringLiteral("other"));
        QCOMPARE(DataSaveControl::readSettingData(key, 7, QString()), QVariant(22));
        QCOMPARE(DataSaveControl::readSettingData(key, 7, QStringLiteral("other")), QVariant(3));
        HostFramework::clearSettings();
        QCOMPARE(DataSaveControl::readSettingData(key, 7, QString()), QVariant(7));

        // What the launcher falls back to while nothing is stored.
        DataDefault::initDataDefault();
        const QVariantMap defaults{{S::setupSysLang, "1"}, {S::setupSysBeep, true}, {S::setupAlterVolume, 15},
                                   {S::setupSyncRdsTime, true}, {S::setupRightDrive, QVariant()}};
        for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
            QCOMPARE(DataDefault::getDefault(it.key()), it.value());
        // Keys that shared a text would let a wrong key pass every test.
        const QSet<QString> keys{S::setupRightDrive, S::setupSysLang, S::setupSysBeep, S::setupAlterVolume,
                                 S::setupSyncRdsTime, S::setupAndroidDevice, S::setupAppleDevice,
                                 S::setupCarlifeDevice, S::setupWebLinkDevice, S::setupCarplay, S::setupIpod,
                                 S::setupiOSMirror, S::setupAndroidAuto, S::setupAutoLink};
        QCOMPARE(keys.size(), 14);
    }

    // The reader thread and the GUI thread write the same fields: a torn
    // string crashes or reads back as neither value.
    void appDataTwoThreads()
    {
        const QStringList values{QStringLiteral("AB00000000001234"), QStringLiteral("a much longer identity text")};
        AppData *data = AppData::GetInstance();
        std::atomic<int> torn{0};
        auto hammer = [&](int first) {
            for (int i = 0; i < 20000; ++i) {
                data->setUUID(values[(first + i) % 2]);
                torn += !values.contains(data->uuid());
            }
        };
        Journal::setEnabled(false);
        QScopedPointer<QThread> other(QThread::create(hammer, 0));
        other->start();
        hammer(1);
        other->wait();
        Journal::setEnabled(true);
        QCOMPARE(torn.load(), 0);
    }

    void audioInitTellsTruth()
    {
        QTemporaryDir dir;
        QLocalServer server;
        QVERIFY(server.listen(dir.filePath(QStringLiteral("live"))));
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(server.fullServerName()));
        QVERIFY(AppData::GetInstance()->AudioInitOK());
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(dir.filePath(QStringLiteral("none"))));
        QVERIFY(!AppData::GetInstance()->AudioInitOK());
    }

    void svcControlStages()
    {
        SvcControl svc;
        QSignalSpy ready(&svc, SIGNAL(stageReady(SvcControl::ExeStage)));
        QSignalSpy finished(&svc, SIGNAL(finished()));
        svc.exeStage(SvcControl::DirectStage, false);
        svc.exeStage(SvcControl::NormalStage, false);
        QTRY_COMPARE(ready.count(), 2);
        QCOMPARE(ready.at(1).at(0).value<SvcControl::ExeStage>(), SvcControl::NormalStage);
        QCOMPARE(HostFramework::runningServices().size(), 5);
        svc.stop(false);
        QCOMPARE(finished.count(), 0); // only from the event loop
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(HostFramework::runningServices().isEmpty());

        // The direct start-up: running on return, without a signal, and the
        // controller deleted right after stop().
        auto *direct = new SvcControl;
        direct->exeStage(SvcControl::DirectStage, true);
        QCOMPARE(HostFramework::runningServices(), (QStringList{"settings", "audio"}));
        direct->exeStage(SvcControl::NormalStage, true);
        direct->stop(false);
        delete direct;
        QVERIFY(HostFramework::runningServices().isEmpty());
        QCOMPARE(ready.count(), 2);
    }
};

QTEST_MAIN(TestHostFramework)
#include "tst_hostframework.moc"
