#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include "appdata.h"
#include "hostframework.h"
#include "svccontrol.h"

class TestHostFramework : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The beep is only tried while a sound server takes connections.
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
        // The line the benchmarks read the start-up times from.
        QTest::ignoreMessage(
            QtInfoMsg,
            QRegularExpression(QStringLiteral("^hostframework: boot timeline: first-frame=- ms "
                                              "stage1=- ms stage2=- ms finished=\\d+ ms$")));
        svc.stop(false);
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(HostFramework::runningServices().isEmpty());

        // The direct start-up: running on return, without a signal.
        svc.exeStage(SvcControl::NormalStage, true);
        QCOMPARE(HostFramework::runningServices().size(), 3);
        QCOMPARE(ready.count(), 2);
    }
};

QTEST_MAIN(TestHostFramework)
#include "tst_hostframework.moc"
