// The real launcher process against a service that is not there at start, and
// one that goes away and comes back. Runs with the fixed socket names, so it
// holds a resource lock and, as root, a network namespace of its own.

#include "mainappmsg.h"
#include "mcupeer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <unistd.h>

namespace {

// The real launcher as a child process: offscreen, settings of its own, output
// and errors merged, killed when the object goes.
class LauncherProcess
{
public:
    ~LauncherProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // As root the launcher could set the machine's clock from whatever a test
        // sends it; setpriv execs it in place, so the pid stays the launcher's.
        if (geteuid() == 0)
            m_process.start(QStringLiteral("setpriv"), {QStringLiteral("--bounding-set=-sys_time"),
                                                        QStringLiteral("--inh-caps=-sys_time"), LAUNCHER_PATH});
        else
            m_process.start(LAUNCHER_PATH, QStringList());
        return m_process.waitForStarted(10000);
    }

    // The launcher writes a line per frame: reading now and then keeps the
    // pipe from filling up and stalling it.
    QByteArray output()
    {
        m_output += m_process.readAll();
        return m_output;
    }

    bool waitForOutput(const QByteArray &text, int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!output().contains(text)) {
            if (timer.hasExpired(timeoutMs) || m_process.state() != QProcess::Running)
                return false;
            m_process.waitForReadyRead(100);
        }
        return true;
    }

    // User plus system time so far. The command name may hold spaces and
    // parentheses: utime and stime are fields 12 and 13 after the last ')'.
    qint64 cpuTimeMs() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
    }

    // Whether the launcher exits cleanly on SIGTERM.
    bool stop()
    {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }

private:
    QTemporaryDir m_config;
    QProcess m_process;
    QByteArray m_output;
};

// The launcher dials this name; it is free in the test's own network namespace.
const QByteArray ServiceName = "@quillstone";

QByteArray frameLine(quint32 msg, quint32 p1, quint32 p2)
{
    return QStringLiteral("Main app normal msg:%1, p1:%2, p2:%3.\n").arg(msg).arg(p1).arg(p2).toLatin1();
}

// The next whole frame from the launcher: 16 bytes for type 1, 264 for 2 and 3.
QByteArray nextFrame(McuPeer &peer)
{
    const QByteArray head = peer.read(4, 20000);
    const bool normal = head.size() < 4 || qFromLittleEndian<quint32>(head.constData()) == MAIN_APP_TYPE_NORMAL;
    return head + peer.read((normal ? MAIN_APP_NORMAL_MSG_SIZE : MAIN_APP_LONG_MSG_SIZE) - 4, 20000);
}

// A version request is answered by a 264-byte version frame; whatever the
// framework sent on its own meanwhile is passed over.
void expectVersionReply(McuPeer &peer)
{
    QVERIFY(peer.write(normalFrame(MSG_M2A_VERSION_REQ, 0, 0)));
    for (int i = 0; i < 100; ++i) {
        const QByteArray frame = nextFrame(peer);
        QVERIFY2(frame.size() == MAIN_APP_NORMAL_MSG_SIZE || frame.size() == MAIN_APP_LONG_MSG_SIZE,
                 "no whole frame from the launcher");
        if (frame.size() == MAIN_APP_LONG_MSG_SIZE && qFromLittleEndian<quint32>(frame.constData() + 4) == MSG_A2M_VERSION)
            return;
    }
    QFAIL("no version reply");
}

} // namespace

class TestLauncherFaults : public QObject
{
    Q_OBJECT

private slots:
    void noServiceAtStart();
    void serviceGoesAndComesBack();
};

void TestLauncherFaults::noServiceAtStart()
{
    LauncherProcess launcher;
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForOutput("-main app socket read failed with error: ", 30000), launcher.output().constData());

    // Waiting for the service must cost next to nothing: a reader that spins
    // on its failing socket burns a whole core.
    const qint64 before = launcher.cpuTimeMs();
    QTest::qWait(3000); // the measuring window itself
    const qint64 used = launcher.cpuTimeMs() - before;
    qInfo("launcher CPU time while waiting for the service: %lld ms in 3000 ms", used);
    QVERIFY(before >= 0);
    QVERIFY2(used < 750, qPrintable(QStringLiteral("%1 ms of CPU in 3 s").arg(used)));

    McuPeer service(ServiceName);
    QVERIFY(service.listen());
    QVERIFY(service.accept(20000));
    expectVersionReply(service);
    QVERIFY(launcher.waitForOutput(frameLine(MSG_M2A_VERSION_REQ, 0, 0)));
    QVERIFY(service.write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 1)));
    QVERIFY(launcher.waitForOutput(frameLine(MSG_M2A_KEY_PRESSED, 5, 1)));
    QVERIFY2(launcher.stop(), launcher.output().constData());
}

void TestLauncherFaults::serviceGoesAndComesBack()
{
    McuPeer service(ServiceName);
    QVERIFY(service.listen());
    LauncherProcess launcher;
    QVERIFY(launcher.start());
    QVERIFY(service.accept(30000));
    // The ready message comes first on a fresh start.
    QCOMPARE(nextFrame(service), normalFrame(MSG_A2M_CMD, A2M_CMD_APP_READY, 2));
    expectVersionReply(service);

    // The service dies with half a frame sent: first it listens again at once,
    // then it is gone for a while and the launcher dials in vain meanwhile.
    for (quint32 round = 0; round < 2; ++round) {
        QVERIFY(service.write(normalFrame(MSG_M2A_KEY_PRESSED, 4242, 0).left(10)));
        service.closeConnection();
        if (round == 1) {
            service.closeListener();
            QTest::qWait(1000);
            QVERIFY(service.listen());
        }
        QVERIFY(service.accept(30000));
        QVERIFY(service.write(normalFrame(MSG_M2A_KEY_PRESSED, 6 + round, 1)));
        QVERIFY(launcher.waitForOutput(frameLine(MSG_M2A_KEY_PRESSED, 6 + round, 1)));
        expectVersionReply(service);
    }
    QCOMPARE(launcher.output().count("Main App invaild datalen:0\n"), 2);
    QVERIFY(!launcher.output().contains("p1:4242"));
    QVERIFY2(launcher.stop(), launcher.output().constData());
}

QTEST_GUILESS_MAIN(TestLauncherFaults)
#include "tst_launcherfaults.moc"
