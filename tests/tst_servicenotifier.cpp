// The launcher's side of the service manager's notification protocol, seen
// from a receiver of our own on the socket that NOTIFY_SOCKET names.

#include <QtTest>

#include <unistd.h>

#include "firstframemonitor.h"
#include "hostframework.h"
#include "notifyreceiver.h"
#include "servicenotifier.h"
#include "svccontrol.h"
#include "systemstartup.h"

class TestServiceNotifier : public QObject
{
    Q_OBJECT

public:
    enum WatchdogPid { NoPid, OurPid, OtherPid };
    Q_ENUM(WatchdogPid)

private Q_SLOTS:
    void init()
    {
        qunsetenv("WATCHDOG_USEC");
        qunsetenv("WATCHDOG_PID");
    }

    // One notifier per process, but its socket must not outlive it.
    void socketClosedWithNotifier()
    {
        NotifyReceiver manager;
        const auto descriptors = [] {
            return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size();
        };
        const int before = descriptors();
        {
            ServiceNotifier notifier;
            QVERIFY(notifier.isActive());
            QCOMPARE(descriptors(), before + 1);
        }
        QCOMPARE(descriptors(), before);
    }

    void watchdog_data()
    {
        QTest::addColumn<bool>("managed");
        QTest::addColumn<QByteArray>("timeoutUsec");
        QTest::addColumn<WatchdogPid>("pid");
        QTest::addColumn<int>("intervalMs");
        QTest::newRow("no service manager") << false << QByteArray("400000") << NoPid << 0;
        QTest::newRow("no watchdog") << true << QByteArray() << NoPid << 0;
        QTest::newRow("400 ms: pings every 200 ms") << true << QByteArray("400000") << NoPid << 200;
        QTest::newRow("meant for this process") << true << QByteArray("400000") << OurPid << 200;
        QTest::newRow("meant for another process") << true << QByteArray("400000") << OtherPid << 0;
        QTest::newRow("not a number") << true << QByteArray("4e5") << NoPid << 0;
        QTest::newRow("0: no watchdog") << true << QByteArray("0") << NoPid << 0;
        QTest::newRow("1 us: pings every ms") << true << QByteArray("1") << NoPid << 1;
        // A timer's int would end in under 25 days.
        QTest::newRow("1,000,000 s: pings once a day")
            << true << QByteArray("1000000000000") << NoPid << 24 * 3600 * 1000;
    }

    void watchdog()
    {
        QFETCH(bool, managed);
        QFETCH(QByteArray, timeoutUsec);
        QFETCH(WatchdogPid, pid);
        QFETCH(int, intervalMs);
        QScopedPointer<NotifyReceiver> manager(managed ? new NotifyReceiver : nullptr);
        if (!timeoutUsec.isEmpty())
            qputenv("WATCHDOG_USEC", timeoutUsec);
        if (pid != NoPid)
            qputenv("WATCHDOG_PID", QByteArray::number(pid == OurPid ? getpid() : getpid() + 1));

        ServiceNotifier notifier;
        QCOMPARE(notifier.isActive(), managed);
        QCOMPARE(notifier.watchdogInterval(), intervalMs);
        // The first ping, where it comes within the wait.
        if (intervalMs > 0 && intervalMs < 1000)
            QTRY_COMPARE(manager->received().value(0), QStringLiteral("WATCHDOG=1"));
    }

    void socketName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("active");
        QTest::newRow("a path") << QByteArray("path") << true;
        QTest::newRow("an abstract name of one letter") << QByteArray("@?") << true;
        QTest::newRow("'@' alone") << QByteArray("@") << false;
        QTest::newRow("neither a path nor abstract") << QByteArray("notify") << false;
    }

    void socketName()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, active);
        QScopedPointer<NotifyReceiver> manager;
        if (name == "path" || name == "@?")
            manager.reset(new NotifyReceiver(name == "path" ? NotifyReceiver::Path
                                                            : NotifyReceiver::ShortAbstractName));
        else
            qputenv("NOTIFY_SOCKET", name);
        const auto unset = qScopeGuard([] { qunsetenv("NOTIFY_SOCKET"); });

        ServiceNotifier notifier;
        QCOMPARE(notifier.isActive(), active);
        if (!manager)
            return;
        ServiceNotifier::status("Running");
        QVERIFY(manager->sync());
        QCOMPARE(manager->received(), QStringList({"STATUS=Running"}));
    }

    // The pings come from the GUI thread's event loop: a loop that stops
    // turning sends none, so the manager restarts a hung launcher.
    void pingsStopWithTheEventLoop()
    {
        NotifyReceiver manager;
        qputenv("WATCHDOG_USEC", "40000");
        ServiceNotifier notifier;
        QTRY_VERIFY(manager.received().size() >= 2);
        QVERIFY(manager.sync());
        const int pings = manager.received().size();
        usleep(300 * 1000);
        QVERIFY(manager.sync());
        QCOMPARE(manager.received().size(), pings);
        QTRY_VERIFY(manager.received().size() > pings);
        QCOMPARE(manager.received().filter(QStringLiteral("WATCHDOG=1")), manager.received());
    }

    // Ready only once the first frame is on the screen; the stages after it
    // as status texts.
    void readyAtTheFirstFrame()
    {
        NotifyReceiver manager;
        ServiceNotifier notifier;
        HostFramework::setSvcControlManual(true);
        QPointer<SystemStartup> startup = new SystemStartup(nullptr);
        startup->bgStart();
        QCoreApplication::processEvents();
        QVERIFY(manager.sync());
        QCOMPARE(manager.received(), QStringList());

        HostFramework::reportFirstFrame();
        SvcControl *services = HostFramework::lastSvcControl();
        Q_EMIT services->stageReady(SvcControl::DirectStage);
        Q_EMIT services->stageReady(SvcControl::NormalStage);
        Q_EMIT services->finished();
        QVERIFY(manager.sync());
        QCOMPARE(
            manager.received(),
            QStringList({"READY=1\nSTATUS=First frame shown, starting the direct services",
                         "STATUS=Direct services ready, starting the normal services",
                         "STATUS=Normal services ready, finishing the start", "STATUS=Running"}));
        delete startup;
    }
};

QTEST_MAIN(TestServiceNotifier)
#include "tst_servicenotifier.moc"
