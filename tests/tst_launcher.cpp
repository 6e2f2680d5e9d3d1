#include <QtTest>

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
};

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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", JOURNALTRACE_PATH);
    launcher.setProcessEnvironment(env);
    launcher.start(LAUNCHER_PATH, QStringList());
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
    QVERIFY(log.indexOf("link: send 010000000c0000001100000002000000") == log.indexOf("link: send"));
}

QTEST_GUILESS_MAIN(TestLauncher)

#include "tst_launcher.moc"
