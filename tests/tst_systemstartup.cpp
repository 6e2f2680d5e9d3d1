#include <QPointer>
#include <QTimer>
#include <QtTest>

#include "firstframemonitor.h"
#include "hostframework.h"
#include "journal.h"
#include "journallines.h"
#include "svccontrol.h"
#include "systemstartup.h"

namespace {

const QStringList watched = {"FirstFrameMonitor::", "ModuleManager::getModule", "ModuleManager::setStartupStage",
                             "ModuleManager::stageDone", "SvcControl::", "InfoModule::"};
QStringList calls() { return journalLines(0, watched); }
int count(const QString &call) { return journalCount(call); }

} // namespace

class TestSystemStartup : public QObject
{
    Q_OBJECT

private:
    // Held for the whole run, so the test can make the monitor report.
    FirstFrameMonitor *m_monitor = nullptr;
    QPointer<SystemStartup> m_startup;

    void emitEvent(const QString &event)
    {
        SvcControl *svc = HostFramework::lastSvcControl();
        QVERIFY(svc);
        if (event == QLatin1String("flush"))
            QMetaObject::invokeMethod(m_monitor, "procFlushDone");
        else if (event == QLatin1String("finished"))
            Q_EMIT svc->finished();
        else
            Q_EMIT svc->stageReady(SvcControl::ExeStage(event.mid(5).toInt()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        HostFramework::setSvcControlManual(true);
        m_monitor = FirstFrameMonitor::getInstance();
    }

    void cleanupTestCase() { FirstFrameMonitor::releaseInstance(); }
    void init()
    {
        HostFramework::setInfoModuleAvailable(true);
        Journal::instance()->clear();
    }
    void cleanup() { delete m_startup; }

    void constructionTakesMonitorOnly()
    {
        m_startup = new SystemStartup(nullptr);
        QCOMPARE(HostFramework::lastSvcControl()->parent(), m_startup.data());
        QCOMPARE(m_startup->findChildren<QTimer *>().size(), 0);
        delete m_startup;
        QCOMPARE(calls(), QStringList({"FirstFrameMonitor::getInstance()", "FirstFrameMonitor::releaseInstance()"}));
    }

    void stateTable_data()
    {
        QTest::addColumn<bool>("info");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("deletionArmed");

        const QString stage1 = QStringLiteral("ModuleManager::setStartupStage(1)");
        const QString stage2 = QStringLiteral("ModuleManager::setStartupStage(2)");
        const QString done = QStringLiteral("ModuleManager::stageDone(true)");
        const QString exe0 = QStringLiteral("SvcControl::exeStage(0, false)");
        const QString exe1 = QStringLiteral("SvcControl::exeStage(1, false)");
        const QString stop = QStringLiteral("SvcControl::stop(false)");
        const QString ready = QStringLiteral("InfoModule::allServiceReady()");

        QTest::newRow("nothing before the first frame") << true << QStringList() << QStringList() << false;
        QTest::newRow("whole staged run") << true << QStringList({"flush", "ready0", "ready1", "finished"})
            << QStringList({exe0, stage1, done, exe1, stage2, done, stop, ready}) << true;
        QTest::newRow("whole run without info module") << false
            << QStringList({"flush", "ready0", "ready1", "finished"})
            << QStringList({exe0, stage1, done, exe1, stage2, done, stop}) << true;
        QTest::newRow("finished before any stageReady") << true << QStringList({"finished", "ready0", "ready1"})
            << QStringList({ready}) << true;
        QTest::newRow("finished twice") << true << QStringList({"finished", "finished"})
            << QStringList({ready}) << true;
        QTest::newRow("other stage values") << true << QStringList({"ready2", "ready-1", "ready255"})
            << QStringList() << false;
        QTest::newRow("stage reported twice") << true << QStringList({"ready0", "ready0"})
            << QStringList({stage1, done, exe1, stage1, done, exe1}) << false;
        QTest::newRow("first frame again while waiting for deletion") << true
            << QStringList({"finished", "flush"}) << QStringList({ready, exe0}) << true;
    }

    void stateTable()
    {
        QFETCH(bool, info);
        QFETCH(QStringList, events);
        QFETCH(QStringList, expected);
        QFETCH(bool, deletionArmed);
        HostFramework::setInfoModuleAvailable(info);

        m_startup = new SystemStartup(nullptr);
        m_startup->bgStart();
        QCOMPARE(calls(), QStringList({"FirstFrameMonitor::getInstance()", "ModuleManager::getModule(info)",
                                       "FirstFrameMonitor::preCheck()"}));
        const QList<QTimer *> timers = m_startup->findChildren<QTimer *>();
        QCOMPARE(timers.size(), 1);
        QVERIFY(!timers.first()->isActive());
        Journal::instance()->clear();

        for (const QString &event : qAsConst(events))
            emitEvent(event);

        QCOMPARE(calls(), expected);
        QCOMPARE(timers.first()->isActive(), deletionArmed);
        if (deletionArmed) {
            QVERIFY(timers.first()->isSingleShot());
            QCOMPARE(timers.first()->interval(), 5000);
        }
        QCoreApplication::processEvents();
        QVERIFY(m_startup);
    }

    void directStart_data()
    {
        QTest::addColumn<bool>("info");
        QTest::newRow("with info module") << true;
        QTest::newRow("without info module") << false;
    }

    void directStart()
    {
        QFETCH(bool, info);
        HostFramework::setInfoModuleAvailable(info);
        m_startup = new SystemStartup(nullptr);
        Journal::instance()->clear();

        m_startup->directStart();

        QCOMPARE(calls(), QStringList({"ModuleManager::getModule(info)", "SvcControl::exeStage(0, true)",
                                       "ModuleManager::stageDone(false)", "SvcControl::exeStage(1, true)",
                                       "SvcControl::stop(false)", "ModuleManager::stageDone(false)"}));
        QCOMPARE(m_startup->findChildren<QTimer *>().size(), 0);
        // The info module still hears the end of the services.
        Journal::instance()->clear();
        Q_EMIT HostFramework::lastSvcControl()->finished();
        QCOMPARE(calls(), info ? QStringList("InfoModule::allServiceReady()") : QStringList());
        QVERIFY(m_startup);
        QTRY_VERIFY(!m_startup);
        QCOMPARE(count(QStringLiteral("FirstFrameMonitor::releaseInstance")), 1);
        // Nothing of ours listens to the controller any more, and nothing was connected.
        QCOMPARE(count(QStringLiteral("ModuleManager::setStartupStage")), 0);
    }

    void deletesItself5000msAfterFinished()
    {
        m_startup = new SystemStartup(nullptr);
        m_startup->bgStart();
        QTimer *timer = m_startup->findChild<QTimer *>();
        QVERIFY(timer);
        QSignalSpy timeout(timer, &QTimer::timeout);
        Journal::instance()->clear();

        Q_EMIT HostFramework::lastSvcControl()->finished();
        QVERIFY(timer->isActive());
        QCoreApplication::processEvents();
        QVERIFY(m_startup);
        QCOMPARE(count(QStringLiteral("FirstFrameMonitor::releaseInstance")), 0);

        QTRY_VERIFY_WITH_TIMEOUT(!m_startup, 15000);
        QCOMPARE(timeout.count(), 1);
        QCOMPARE(count(QStringLiteral("FirstFrameMonitor::releaseInstance")), 1);
    }

    // Last: once a first frame has been reported, every later preCheck() reports at once.
    void waitsForFirstFrame()
    {
        QVERIFY(!HostFramework::firstFrameShown());
        m_startup = new SystemStartup(nullptr);
        m_startup->bgStart();
        QCoreApplication::processEvents();
        QCOMPARE(count(QStringLiteral("SvcControl::exeStage")), 0);

        HostFramework::reportFirstFrame();
        QCOMPARE(calls().mid(3), QStringList("SvcControl::exeStage(0, false)"));
        delete m_startup;

        // A report from within preCheck() is not lost.
        Journal::instance()->clear();
        m_startup = new SystemStartup(nullptr);
        m_startup->bgStart();
        QCOMPARE(calls(), QStringList({"FirstFrameMonitor::getInstance()", "ModuleManager::getModule(info)",
                                       "FirstFrameMonitor::preCheck()", "SvcControl::exeStage(0, false)"}));
    }
};

QTEST_MAIN(TestSystemStartup)
#include "tst_systemstartup.moc"
