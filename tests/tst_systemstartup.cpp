#include <QtTest>

#include "firstframemonitor.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "journallines.h"
#include "svccontrol.h"
#include "systemstartup.h"

// What the test makes happen, in order: the background start, the first frame,
// the services' end, a stage reported ready, or a monitor that reports the
// first frame and the end of the services from within preCheck().
enum Step {
    BgStart,
    FirstFrame,
    Finished,
    DirectStageReady,
    NormalStageReady,
    StageTwoReady,
    StageMinusOneReady,
    AllWithinPreCheck
};
using Steps = QVector<Step>;
Q_DECLARE_METATYPE(Steps)

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
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("expected");

        const QStringList bg {"ModuleManager::getModule(info)", "FirstFrameMonitor::preCheck()"};
        const QStringList flush {"SvcControl::exeStage(0, false)"},
            end {"InfoModule::allServiceReady()"};
        const QStringList ready0 {"ModuleManager::setStartupStage(1)",
                                  "ModuleManager::stageDone(true)",
                                  "SvcControl::exeStage(1, false)"};
        const QStringList ready1 {"ModuleManager::setStartupStage(2)",
                                  "ModuleManager::stageDone(true)", "SvcControl::stop(false)"};
        const Steps whole {BgStart, FirstFrame, DirectStageReady, NormalStageReady, Finished};
        QTest::newRow("nothing before the first frame")
            << true << Steps {BgStart, DirectStageReady} << bg + ready0;
        QTest::newRow("whole run") << true << whole << bg + flush + ready0 + ready1 + end;
        QTest::newRow("whole run without info module")
            << false << whole << bg + flush + ready0 + ready1;
        QTest::newRow("finished first")
            << true << Steps {BgStart, Finished, DirectStageReady, Finished} << bg + end;
        QTest::newRow("other stage values")
            << true << Steps {BgStart, StageTwoReady, StageMinusOneReady} << bg;
        QTest::newRow("first frame while waiting for deletion")
            << true << Steps {BgStart, Finished, FirstFrame} << bg + end + flush;
        // Last: the monitor reports at once from now on.
        QTest::newRow("all within preCheck")
            << true << Steps {AllWithinPreCheck, BgStart} << bg + end + flush;
    }

    void run()
    {
        QFETCH(bool, info);
        QFETCH(Steps, steps);
        QFETCH(QStringList, expected);
        HostFramework::setInfoModuleAvailable(info);
        Journal::instance()->clear();
        m_startup = new SystemStartup(nullptr);
        const QPointer<SvcControl> svc = HostFramework::lastSvcControl();

        for (Step step : qAsConst(steps)) {
            switch (step) {
            case BgStart:
                m_startup->bgStart();
                break;
            case FirstFrame:
                QMetaObject::invokeMethod(m_monitor, "procFlushDone");
                break;
            case Finished:
                Q_EMIT svc->finished();
                break;
            case AllWithinPreCheck:
                HostFramework::reportFirstFrame();
                connect(m_monitor, &FirstFrameMonitor::procFlushDone, svc, &SvcControl::finished);
                break;
            case DirectStageReady:
                Q_EMIT svc->stageReady(SvcControl::DirectStage);
                break;
            case NormalStageReady:
                Q_EMIT svc->stageReady(SvcControl::NormalStage);
                break;
            case StageTwoReady:
                Q_EMIT svc->stageReady(SvcControl::ExeStage(2));
                break;
            case StageMinusOneReady:
                Q_EMIT svc->stageReady(SvcControl::ExeStage(-1));
                break;
            }
        }

        QCOMPARE(journalLines(1,
                              {"FirstFrameMonitor::", JournalCall::getModule, "ModuleManager::set",
                               "ModuleManager::stage", "SvcControl::", "InfoModule::"}),
                 expected);
        // Gone 5 s after the services finished.
        QTimer *timer = m_startup->findChild<QTimer *>();
        if (timer->isActive()) {
            QVERIFY(timer->isSingleShot());
            QCOMPARE(timer->interval(), 5000);
            QMetaObject::invokeMethod(timer, "timeout");
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const bool ends = steps.contains(Finished) || steps.contains(AllWithinPreCheck);
        QCOMPARE(m_startup.isNull(), ends);
        QCOMPARE(svc.isNull(), ends); // the controller goes with it
        QCOMPARE(journalCount(QLatin1String(JournalCall::releaseInstance)), ends ? 1 : 0);
    }

    // Without waiting for the first frame: both stages at once, and gone.
    void directStart()
    {
        HostFramework::setInfoModuleAvailable(true);
        Journal::instance()->clear();
        m_startup = new SystemStartup(nullptr);
        m_startup->directStart();
        QCOMPARE(
            journalLines(1,
                         {"FirstFrameMonitor::", "ModuleManager::getModule", "ModuleManager::set",
                          "ModuleManager::stage", "SvcControl::", "InfoModule::"}),
            QStringList({"ModuleManager::getModule(info)", "SvcControl::exeStage(0, true)",
                         "ModuleManager::stageDone(false)", "SvcControl::exeStage(1, true)",
                         "SvcControl::stop(false)", "ModuleManager::stageDone(false)"}));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(m_startup.isNull());
    }

    void directStartTellsInfoModule_data()
    {
        QTest::addColumn<bool>("info");
        QTest::addColumn<QStringList>("heard");
        QTest::newRow("with the info module")
            << true << QStringList("InfoModule::allServiceReady()");
        QTest::newRow("without") << false << QStringList();
    }

    // The info module, where there is one, hears when the services of a direct
    // start are done.
    void directStartTellsInfoModule()
    {
        QFETCH(bool, info);
        QFETCH(QStringList, heard);
        HostFramework::setInfoModuleAvailable(info);
        Journal::instance()->clear();
        m_startup = new SystemStartup(nullptr);
        m_startup->directStart();
        Q_EMIT HostFramework::lastSvcControl()->finished();
        QCOMPARE(journalLines(1, {"InfoModule::"}), heard);
    }
};

QTEST_MAIN(TestSystemStartup)
#include "tst_systemstartup.moc"
