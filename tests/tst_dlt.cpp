#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The real launcher and the simulator's normal boot against a dlt-daemon of the
// test's own (its own directory for the FIFOs, its own TCP port), received with
// dlt-receive: what arrives under LNCH, and the MCU frames as network trace.
// The trace is switched in the running launcher: the daemon's answer to a new
// application can take the library half a second, so frames of the first
// moments cannot be relied on to be traced.
namespace {

// A port nobody listens on right now, for the daemon of one session.
quint16 freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    close(fd);
    return ntohs(addr.sin_port);
}

struct Message
{
    QString context;
    QString kind; // "log debug", "nw_trace ipc", ...
    QString payload; // dlt-receive's ASCII rendering of the arguments
};

QString hex(QString words)
{
    return words.remove(QLatin1Char(' ')).remove(QLatin1Char('\'')).toLower();
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Reads a process's output as it comes, until it holds a text.
bool waitForText(QProcess &process, QString *output, const QString &text, int count = 1)
{
    QDeadlineTimer deadline(30000);
    while (output->count(text) < count && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        *output += QString::fromUtf8(process.readAll());
    }
    return output->count(text) >= count;
}

} // namespace

// One boot of the launcher with a daemon of the test's own. The simulator plays
// normal-boot untraced, then the trace is switched on through dlt-control and
// the scenario's frames are sent again, then it is switched off and one more key
// press is sent.
class TestDlt : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void debugLog_data();
    void debugLog();
    void qtOwnWarning();
    void linkLine();
    void framesTraced_data();
    void framesTraced();
    void nothingTracedWhileOff();
    void traceSwitchMarkedOnceEachWay();

private:
    bool play();
    bool control(const QStringList &arguments);
    void recordedFrames(QStringList *toMcu, QStringList *fromMcu);

    QTemporaryDir m_dir;
    QString m_port;
    QProcess m_daemon, m_receiver, m_sim, m_launcher;
    QString m_dltOutput, m_simOutput;
    QList<Message> m_messages;
    // Recorded by the simulator while the trace was on, wire bytes in hex.
    QStringList m_tracedToMcu, m_tracedFromMcu;
};

bool TestDlt::control(const QStringList &arguments)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(DLT_CONTROL, QStringList {"-p", m_port} + arguments + QStringList {"localhost"});
    return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit
        && tool.exitCode() == 0;
}

void TestDlt::recordedFrames(QStringList *toMcu, QStringList *fromMcu)
{
    QFile recording(m_dir.path() + "/session.txt");
    QVERIFY(recording.open(QIODevice::ReadOnly));
    const QRegularExpression frame("^\\+\\S+ ([<>]) ([0-9a-f ]+?)  #",
                                   QRegularExpression::MultilineOption);
    toMcu->clear();
    fromMcu->clear();
    for (auto it = frame.globalMatch(QString::fromUtf8(recording.readAll())); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        (m.captured(1) == "<" ? toMcu : fromMcu)->append(hex(m.captured(2)));
    }
}

void TestDlt::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (!play()) {
        qWarning("dlt-receive:\n%s\nsimulator:\n%s\nlauncher:\n%s", qPrintable(m_dltOutput),
                 qPrintable(m_simOutput), m_launcher.readAll().constData());
        QFAIL("the session did not run through");
    }
    // 2026/12/07 15:22:21.132510    4679298 000 ECU1 LNCH MAIN log warn V 4 [text ...]
    const QRegularExpression line(
        "^\\S+ \\S+ +\\d+ \\d+ \\S+ LNCH (\\S+) (\\S+ \\S+) [VN] \\d+ \\[(.*)\\]$",
        QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(m_dltOutput); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        m_messages.append({m.captured(1), m.captured(2), m.captured(3)});
    }
}

void TestDlt::cleanupTestCase()
{
    stop(m_launcher);
    stop(m_sim);
    stop(m_receiver);
    stop(m_daemon);
}

bool TestDlt::play()
{
    const QString path = m_dir.path();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path));
    m_port = QString::number(freePort());

    // Everything the daemon makes stays in the directory: FIFOs, control socket, its log.
    QFile conf(path + "/dlt.conf");
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(QString("ControlSocketPath = %1/dlt-ctrl.sock\nLoggingMode = 2\n"
                       "LoggingFilename = %1/dlt-daemon.log\n")
                   .arg(path)
                   .toUtf8());
    conf.close();
    m_daemon.setProcessChannelMode(QProcess::ForwardedChannels);
    m_daemon.start(DLT_DAEMON, {"-c", conf.fileName(), "-t", path, "-p", m_port});
    if (!m_daemon.waitForStarted())
        return false;
    for (int i = 0; i < 100 && !QFileInfo::exists(path + "/dlt"); ++i)
        QTest::qWait(50);
    // Line-buffered, so each message can be waited for as it arrives.
    m_receiver.start("stdbuf", {"-oL", DLT_RECEIVE, "-a", "-p", m_port, "localhost"});
    if (!m_receiver.waitForStarted())
        return false;

    m_sim.setProcessChannelMode(QProcess::MergedChannels);
    m_sim.start(MCU_SIM_PATH, {"--scenario", "normal-boot", "--record", path + "/session.txt"});
    if (!waitForText(m_sim, &m_simOutput, "# listening"))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DLT_PIPE_DIR", path);
    // The per-frame line is at the debug level, which LINK leaves off by default.
    env.insert("DLT_INITIAL_LOG_LEVEL", "LNCH:LINK:5");
    // Open to all, so Qt itself warns, in a message without a source location.
    if (!QDir(path).mkdir("runtime")
        || !QFile::setPermissions(path + "/runtime",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::ExeOther))
        return false;
    env.insert("XDG_RUNTIME_DIR", path + "/runtime");
    m_launcher.setProcessEnvironment(env);
    m_launcher.setProcessChannelMode(QProcess::MergedChannels);
    m_launcher.start(LAUNCHER_PATH, QStringList());
    if (!waitForText(m_sim, &m_simOutput, "# passed: expect Reply"))
        return false;
    QStringList toMcu, fromMcu;
    recordedFrames(&toMcu, &fromMcu);
    const int toBefore = toMcu.size(), fromBefore = fromMcu.size();

    // Switched on in the running launcher; it says so in its frame context. The
    // daemon must know the context first: the library registers it before it
    // sends the first message.
    if (!waitForText(m_receiver, &m_dltOutput, " LNCH MAIN ")
        || !control({"-r", "1", "-a", "LNCH", "-c", "MCUF"})
        || !waitForText(m_receiver, &m_dltOutput, "[MCU frame trace on]"))
        return false;
    QFile scenario(SCENARIO_DIR "/normal-boot.scn");
    if (!scenario.open(QIODevice::ReadOnly))
        return false;
    // The scenario once more, but for the ready message: the launcher sends it once.
    for (const QByteArray &command : scenario.readAll().split('\n')) {
        if (!command.startsWith('#') && !command.startsWith("expect AppReady"))
            m_sim.write(command + '\n');
    }
    if (!waitForText(m_sim, &m_simOutput, "# passed: expect Reply", 2))
        return false;
    recordedFrames(&toMcu, &fromMcu);
    m_tracedToMcu = toMcu.mid(toBefore);
    m_tracedFromMcu = fromMcu.mid(fromBefore);

    if (!control({"-r", "0", "-a", "LNCH", "-c", "MCUF"})
        || !waitForText(m_receiver, &m_dltOutput, "[MCU frame trace off]"))
        return false;
    m_sim.write("key 0x12 0\nwait 200\n");
    m_sim.closeWriteChannel();
    if (!m_sim.waitForFinished(30000) || m_sim.exitCode() != 0)
        return false;
    m_simOutput += QString::fromUtf8(m_sim.readAll());
    m_launcher.terminate();
    // The launcher's last word to the daemon; everything else came before it.
    return m_launcher.waitForFinished(20000)
        && waitForText(m_receiver, &m_dltOutput, "Unregistered ApID 'LNCH'");
}

void TestDlt::debugLog_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("function");
    // dlt-receive prints a newline of the text as a space.
    QTest::newRow("banner") << "\t             QT new Launcher start !!"
                            << "launcher/launchermain.cpp"
                            << "int launcherMain(int&, char**)";
    QTest::newRow("MainStart") << "---MainStart---"
                               << "launcher/mainstart.cpp"
                               << "MainStart::MainStart()";
    QTest::newRow("UI variant") << "UI is UI_KALDOR_RDS_1024_600  "
                                << "launcher/mainstart.cpp"
                                << "void MainStart::start()";
    QTest::newRow("teardown") << "~MainStart "
                              << "launcher/mainstart.cpp"
                              << "MainStart::~MainStart()";
}

void TestDlt::debugLog()
{
    QFETCH(QString, text);
    QFETCH(QString, file);
    QFETCH(QString, function);
    // Text, then the source file, line and function of the message's context.
    const QRegularExpression expected("^" + QRegularExpression::escape(text) + " \\S*/"
                                      + QRegularExpression::escape(file) + " \\d+ "
                                      + QRegularExpression::escape(function) + "$");
    QStringList main;
    for (const Message &m : qAsConst(m_messages)) {
        if (m.context == "MAIN" && m.kind == "log debug")
            main << m.payload;
    }
    QVERIFY2(main.indexOf(expected) >= 0, qPrintable(main.join('\n')));
}

// Qt's own libraries log without a source location: the text alone, at the
// warning level.
void TestDlt::qtOwnWarning()
{
    QStringList warnings;
    for (const Message &m : qAsConst(m_messages)) {
        if (m.context == "MAIN" && m.kind == "log warn")
            warnings << m.payload;
    }
    // Others depend on the machine (its sound server, its fonts).
    const QString ours = "QStandardPaths: wrong permissions on runtime directory " + m_dir.path()
        + "/runtime, 0755 instead of 0700";
    QVERIFY2(warnings.contains(ours), qPrintable(warnings.join('\n')));
}

void TestDlt::linkLine()
{
    QStringList link;
    for (const Message &m : qAsConst(m_messages)) {
        if (m.context == "LINK")
            link << m.kind + ": " + m.payload;
    }
    // The key press of the scenario, 0x3316 with key 0x12 pressed, at the debug
    // level as every frame's line; a line of the link's state at the info level.
    QVERIFY2(link.contains("log debug: Main app normal msg:13078, p1:18, p2:1."),
             qPrintable(link.join('\n')));
    const QRegularExpression identity(
        "^log info: MCU link to \\S+: service pid \\d+ uid \\d+ gid \\d+$");
    QVERIFY2(link.indexOf(identity) >= 0, qPrintable(link.join('\n')));
}

void TestDlt::framesTraced_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<bool>("toMcu");
    QTest::newRow("from the MCU") << "5258" << false; // "RX"
    QTest::newRow("to the MCU") << "5458" << true; // "TX"
}

void TestDlt::framesTraced()
{
    QFETCH(QString, direction);
    QFETCH(bool, toMcu);
    QStringList traced;
    for (const Message &m : qAsConst(m_messages)) {
        const QString bytes = hex(m.payload);
        if (m.context == "MCUF" && m.kind == "nw_trace ipc" && bytes.startsWith(direction))
            traced << bytes.mid(direction.size());
    }
    const QStringList &recorded = toMcu ? m_tracedToMcu : m_tracedFromMcu;
    QVERIFY(!recorded.isEmpty());
    QCOMPARE(traced, recorded);
}

void TestDlt::nothingTracedWhileOff()
{
    bool on = false;
    int traced = 0;
    for (const Message &m : qAsConst(m_messages)) {
        if (m.context != "MCUF")
            continue;
        if (m.kind == "nw_trace ipc") {
            QVERIFY2(on, qPrintable(m.payload));
            ++traced;
        } else {
            on = m.payload == "MCU frame trace on";
        }
    }
    QVERIFY(traced > 0);
    QVERIFY(!on);
}

// The marks tell a recording where the trace starts and ends: one for each
// switch made, none for the daemon's first word on the context.
void TestDlt::traceSwitchMarkedOnceEachWay()
{
    QStringList marks;
    for (const Message &m : qAsConst(m_messages)) {
        if (m.context == "MCUF" && m.kind != "nw_trace ipc")
            marks << m.kind + ": " + m.payload;
    }
    QCOMPARE(marks, QStringList({"log info: MCU frame trace on", "log info: MCU frame trace off"}));
}

QTEST_GUILESS_MAIN(TestDlt)

#include "tst_dlt.moc"
