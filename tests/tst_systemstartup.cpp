#include <QtTest>

#include "firstframemonitor.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "journallines.h"
#include "svccontrol.h"
#include "systemstartup.h"

class TestSystemStartup : public QObject
{
    Q_OBJECT

private:
    // Held for the whole run, so the test can make the monitor report.
    FirstFrameMonitor *m_monitor = FirstFrameMonitor::getInstance();
    QPointer<SystemStartup> m_startup;

private Q_SLOTS:
    void initTestCase() { HostFramework::setSvcControlManual(true); }
    void cleanup() { delete m_startup; }

    void run_data()
    {
        QTest::addColumn<bool>("info");
        // "bg", "flush", "finished", a stage value, or "sync": a first
        // frame and the end of the services reported from within preCheck().
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("expected");

        const QString bg = "ModuleManager::getModule(info)|FirstFrameMonitor::preCheck()|";
        const QString flush = "SvcControl::exeStage(0, false)|",
                      end = "InfoModule::allServiceReady()|";
        const QString ready0 = "ModuleManager::setStartupStage(1)|ModuleManager::stageDone(true)|"
                               "SvcControl::exeStage(1, false)|";
        const QString ready1 = "ModuleManager::setStartupStage(2)|ModuleManager::stageDone(true)|"
                               "SvcControl::stop(false)|";
        const QStringList whole {"bg", "flush", "0", "1", "finished"};
        QTest::newRow("nothing before the first frame")
            << true << QStringList({"bg", "0"}) << bg + ready0;
        QTest::newRow("whole run") << true << whole << bg + flush + ready0 + ready1 + end;
        QTest::newRow("whole run without info module")
            << false << whole << bg + flush + ready0 + ready1;
        QTest::newRow("finished first")
            << true << QStringList({"bg", "finished", "0", "finished"}) << bg + end;
        QTest::newRow("other stage values") << true << QStringList({"bg", "2", "-1"}) << bg;
        QTest::newRow("first frame while waiting for deletion")
            << true << QStringList({"bg", "finished", "flush"}) << bg + end + flush;
        // Last: the monitor reports at once from now on.
        QTest::newRow("all within preCheck")
            << true << QStringList({"sync", "bg"}) << bg + end + flush;
    }

    void run()
    {
        QFETCH(bool, info);
        QFETCH(QStringList, events);
        QFETCH(QString, expected);
        HostFramework::setInfoModuleAvailable(info);
        Journal::instance()->clear();
        m_startup = new SystemStartup(nullptr);
        const QPointer<SvcControl> svc = HostFramework::lastSvcControl();

        for (const QString &event : qAsConst(events)) {
            if (event == QLatin1String("bg")) {
                m_startup->bgStart();
            } else if (event == QLatin1String("flush")) {
                QMetaObject::invokeMethod(m_monitor, "procFlushDone");
            } else if (event == QLatin1String("finished")) {
                Q_EMIT svc->finished();
            } else if (event == QLatin1String("sync")) {
                HostFramework::reportFirstFrame();
                connect(m_monitor, &FirstFrameMonitor::procFlushDone, svc, &SvcControl::finished);
            } else {
                Q_EMIT svc->stageReady(SvcControl::ExeStage(event.toInt()));
            }
        }

        QCOMPARE(journalLines(1,
                              {"FirstFrameMonitor::", JournalCall::getModule, "ModuleManager::set",
                               "ModuleManager::stage", "SvcControl::", "InfoModule::"})
                         .join('|')
                     + '|',
                 expected);
        // Gone 5 s after the services finished.
        QTimer *timer = m_startup->findChild<QTimer *>();
        if (timer->isActive()) {
            QVERIFY(timer->isSingleShot());
            QCOMPARE(timer->interval(), 5000);
            QMetaObject::invokeMethod(timer, "timeout");
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const bool ends = events.contains(QStringLiteral("finished"))
            || events.contains(QStringLiteral("sync"));
        QCOMPARE(m_startup.isNull(), ends);
        QCOMPARE(svc.isNull(), ends); // the controller goes with it
        QCOMPARE(journalCount(QLatin1String(JournalCall::releaseInstance)), ends ? 1 : 0);
    }
};

QTEST_MAIN(TestSystemStartup)
#include "tst_systemstartup.moc"
