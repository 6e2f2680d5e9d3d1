#include <QtTest>

#include "notifyreceiver.h"

// Every shipped scenario played by the simulator against the real launcher on
// the build's socket names; around it what no scenario sees: the start log in
// order, the first frame on the wire, and the teardown on SIGTERM. Settings (see
// tests/CMakeLists.txt) and runtime files are the test's own; the clock is out of reach.
class TestLauncher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void scenario_data();
    void scenario();
    void serviceOnItsOwn_data();
    void serviceOnItsOwn();

public:
    enum ServiceStart { AfterTheLauncher, Restarted };
    Q_ENUM(ServiceStart)
};

static void startLauncher(QProcess &launcher)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", JOURNALTRACE_PATH);
    // The platform as an argument, as a unit's start script gives it: Qt's own
    // options must reach QApplication. Without, Qt would try a display.
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(name);
    launcher.setProcessEnvironment(env);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    launcher.start(LAUNCHER_PATH, {"-platform", "offscreen"});
}

// Plays a shipped scenario to its end: whether it passed, and what it printed.
static bool playScenario(const QString &name, QByteArray *output)
{
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(MCU_SIM_PATH, {"--scenario", name});
    sim.closeWriteChannel();
    // With the event loop running, so the launcher's output is read meanwhile:
    // a full pipe would stop it.
    const bool passed = QTest::qWaitFor([&] { return sim.state() == QProcess::NotRunning; }, 60000)
        && sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0;
    *output = sim.readAll();
    return passed;
}

void TestLauncher::scenario_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &file : QDir(SCENARIO_DIR).entryList({"*.scn"}))
        QTest::newRow(qPrintable(file)) << file.chopped(4);
}

void TestLauncher::scenario()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    QProcess sim, launcher;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(MCU_SIM_PATH, {"--scenario", name});
    sim.closeWriteChannel();
    QVERIFY(sim.waitForReadyRead(10000));
    startLauncher(launcher);
    QVERIFY2(sim.waitForFinished(60000) && sim.exitCode() == 0, sim.readAll().constData());
    launcher.terminate();
    QVERIFY(launcher.waitForFinished(20000) && launcher.exitStatus() == QProcess::NormalExit
            && !launcher.exitCode());

    // The start log in order, framework calls and link traffic among its lines.
    const QString log = QString::fromUtf8(launcher.readAll());
    QString order =
        "QApplication===>Application\n\n \n\n\n\n \n\t             QT new Launcher start !!\n\n\n"
        "\t app build:  [A-Z][a-z]{2} [ \\d]\\d \\d{4}    \\d\\d:\\d\\d:\\d\\d\n\n\n\n \n";
    for (const char *line :
         {"---MainStart---", "start", "read language: \"en\"",
          "journal: SysLanguage::exeLanguage(en)", "read right mode: false",
          "journal: UIManager::setRightDrive(false", "journal: ImplicitRuleManager::self",
          "journal: ModuleManager::self", "journal: ActivityManager::self", "link: connect",
          "journal: ModuleManager::initModule", "link: send 010000000c0000001100000002000000",
          "journal: FirstFrameMonitor::preCheck", "UI is UI_KALDOR_RDS_1024_600 ", "~MainStart "})
        order += "(.*\n)*?" + QRegularExpression::escape(line);
    QVERIFY2(QRegularExpression(order).match(log).hasMatch(), qPrintable(log));
    // AppReady goes out first.
    const int appReady = log.indexOf("link: send 010000000c0000001100000002000000");
    QCOMPARE(appReady, log.indexOf("link: send"));
}

void TestLauncher::serviceOnItsOwn_data()
{
    QTest::addColumn<ServiceStart>("start");
    QTest::newRow("service up after the launcher") << AfterTheLauncher;
    QTest::newRow("service restarted") << Restarted;
}

// The launcher and the service start and restart independently: each
// connection must look like a normal boot to the service (the scenario waits
// for AppReady first). Beside it, what the service manager hears.
void TestLauncher::serviceOnItsOwn()
{
    QFETCH(ServiceStart, start);
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    NotifyReceiver manager;
    qputenv("WATCHDOG_USEC", "100000");
    const auto unsetWatchdog = qScopeGuard([] { qunsetenv("WATCHDOG_USEC"); });
    QProcess launcher;
    startLauncher(launcher);
    const auto stop = qScopeGuard([&] {
        launcher.terminate();
        launcher.waitForFinished(20000);
    });
    QByteArray log, service;
    if (start == AfterTheLauncher)
        QTRY_VERIFY_WITH_TIMEOUT((log += launcher.readAll()).contains("down: Connection refused"),
                                 20000);
    else
        QVERIFY2(playScenario("normal-boot", &service), service.constData());
    QVERIFY2(playScenario("normal-boot", &service), service.constData());
    // The frame the service saw first.
    QVERIFY2(QString::fromUtf8(service).contains(QRegularExpression("^[^<]*< AppReady ")),
             service.constData());
    launcher.terminate();
    QVERIFY(launcher.waitForFinished(20000) && launcher.exitCode() == 0);
    log += launcher.readAll();
    // On the first connection too, tried into the void when nobody listened.
    QCOMPARE(log.count("link: send 010000000c0000001100000002000000\n"), 2);

    QVERIFY(manager.sync());
    const QStringList notes = manager.received();
    QVERIFY2(notes.contains("WATCHDOG=1"), qPrintable(notes.join('|')));
    QCOMPARE(QStringList(notes).filter(QRegularExpression("^(?!WATCHDOG=1$)")).join('|'),
             QStringList({"STATUS=Applying the stored settings",
                          "STATUS=Starting the framework's managers", "STATUS=Opening the MCU link",
                          "STATUS=Waiting for the first frame",
                          "READY=1\nSTATUS=First frame shown, starting the direct services",
                          "STATUS=Direct services ready, starting the normal services",
                          "STATUS=Normal services ready, finishing the start", "STATUS=Running",
                          "STOPPING=1"})
                 .join('|'));
}

QTEST_GUILESS_MAIN(TestLauncher)

#include "tst_launcher.moc"
