#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "appdata.h"
#include "hostframework.h"
#include "svccontrol.h"
#include "unixaddress.h"

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

    // A sound server that takes no connections (its backlog full) answers
    // "no sound" at once, instead of holding up the caller, and other threads'
    // calls go on meanwhile.
    void audioInitDoesNotWaitForAWedgedServer()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("wedged")));
        const UnixAddress addr(path.constData());
        // Joined after the sockets are closed, which ends a connect that waits.
        std::thread beep;
        const auto joinBeep = qScopeGuard([&] { beep.join(); });
        std::vector<int> fds {socket(AF_UNIX, SOCK_STREAM, 0)};
        const auto closeAll = qScopeGuard([&] {
            for (int fd : fds)
                close(fd);
        });
        QVERIFY(bind(fds[0], addr.address(), addr.length()) == 0 && listen(fds[0], 0) == 0);
        for (int connected = 0; connected == 0;) {
            fds.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connected = ::connect(fds.back(), addr.address(), addr.length());
        }
        QCOMPARE(errno, EAGAIN);

        qputenv("PULSE_SERVER", "unix:" + path);
        std::atomic<int> answer {-1};
        beep = std::thread([&] { answer = AppData::GetInstance()->AudioInitOK(); });
        AppData::GetInstance()->setCurSource(SOURCE_ID_NAVI);
        QTRY_COMPARE(answer.load(), 0);
        QCOMPARE(AppData::GetInstance()->curSource(), int(SOURCE_ID_NAVI));
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
