#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <sched.h>
#include <unistd.h>

#include "launcherconfig.h"
#include "mainappmsg.h"
#include "mcupeer.h"

// The real launcher against a peer in the MCU service's place, on the names
// the build uses. Each function takes the session one step further.
class TestLauncher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void appReadyFirstOnWire();
    void keyPressReachesFramework();
    void timeReplyToImplausibleTime();
    void startLogInOrder();
    void cleanExitOnSigterm();

private:
    QStringList errLines();
    bool waitForErrLine(const QString &line);

    QTemporaryDir m_dir;
    McuPeer m_peer{QByteArrayLiteral(LAUNCHER_MCU_SOCKET)};
    QProcess m_launcher;
    QByteArray m_err;
};

void TestLauncher::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_peer.listen());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{message}"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(JOURNALTRACE_PATH));
    env.remove(QStringLiteral("DISPLAY"));
    m_launcher.setProcessEnvironment(env);
    m_launcher.setWorkingDirectory(m_dir.path());
    connect(&m_launcher, &QProcess::readyReadStandardError, this,
            [this] { m_err += m_launcher.readAllStandardError(); });

    // Whatever the MCU says about the time, this launcher cannot move the clock.
    if (geteuid() == 0)
        m_launcher.start(QStringLiteral("setpriv"), {QStringLiteral("--bounding-set=-sys_time"),
                                                      QStringLiteral("--inh-caps=-sys_time"),
                                                      QStringLiteral(LAUNCHER_PATH)});
    else
        m_launcher.start(QStringLiteral(LAUNCHER_PATH), QStringList());
    QVERIFY(m_launcher.waitForStarted());
    QVERIFY(m_peer.accept(20000));
}

void TestLauncher::appReadyFirstOnWire()
{
    QCOMPARE(m_peer.read(16, 20000).toHex(), normalFrame(12, 17, 2).toHex());
}

void TestLauncher::keyPressReachesFramework()
{
    QVERIFY(m_peer.write(normalFrame(MSG_M2A_KEY_PRESSED, 18, 1)));
    QVERIFY(waitForErrLine(QStringLiteral("journal: BaseControl::sendMcuKeyPressedSignal 18 1")));
}

void TestLauncher::timeReplyToImplausibleTime()
{
    QVERIFY(m_peer.write(longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_TIME, QByteArray(5, '\0'))));
    const QByteArray reply = m_peer.read(264, 20000);
    QCOMPARE(reply.size(), 264);
    QCOMPARE(reply.left(9).toHex(), QByteArray("02000000c300000004"));
    const quint32 secs = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(reply.constData()) + 9);
    QCOMPARE(QDateTime::fromSecsSinceEpoch(secs).date(), QDate(2022, 1, 1));
    QCOMPARE(reply.mid(13), QByteArray(264 - 13, '\0'));
    // The reply went out, but the clock stayed where it was.
    QVERIFY(QDate::currentDate().year() > 2022);
}

void TestLauncher::startLogInOrder()
{
    QVERIFY(waitForErrLine(QStringLiteral("UI is UI_KALDOR_RDS_1024_600 ")));
    const QString err = QString::fromUtf8(m_err);
    const QRegularExpression banner(QStringLiteral(
        "QApplication===>Application\n\n \n"
        "\n\n\n \n"
        "\t             QT new Launcher start !!\n"
        "\n\n"
        "\t app build:  [A-Z][a-z]{2} [ \\d]\\d \\d{4}    \\d\\d:\\d\\d:\\d\\d\n"
        "\n\n\n \n"));
    const auto b = banner.match(err);
    QVERIFY2(b.hasMatch(), qPrintable(err));

    // Log lines and the framework calls between them (prefixes), in start order.
    const QStringList lines = errLines();
    const QStringList order{
        QStringLiteral("---MainStart---"),
        QStringLiteral("start"),
        QStringLiteral("read language: \"en\""),
        QStringLiteral("journal: SysLanguage::exeLanguage en"),
        QStringLiteral("read right mode: false"),
        QStringLiteral("journal: UIManager::setRightDrive false"),
        QStringLiteral("journal: ImplicitRuleManager::self"),
        QStringLiteral("journal: ModuleManager::self"),
        QStringLiteral("journal: ActivityManager::self"),
        QStringLiteral("journal: ModuleManager::initModule "),
        QStringLiteral("UI is UI_KALDOR_RDS_1024_600 "),
    };
    int at = int(err.left(b.capturedEnd()).count(QLatin1Char('\n')));
    for (const QString &prefix : order) {
        while (at < lines.size() && !lines.at(at).startsWith(prefix))
            ++at;
        QVERIFY2(at < lines.size(), qPrintable(QStringLiteral("missing or out of order: ") + prefix));
        ++at;
    }
    QVERIFY(!lines.contains(QStringLiteral("~MainStart ")));
}

void TestLauncher::cleanExitOnSigterm()
{
    m_launcher.terminate();
    QVERIFY(m_launcher.waitForFinished(20000));
    m_err += m_launcher.readAllStandardError();
    QCOMPARE(m_launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_launcher.exitCode(), 0);
    const QStringList lines = errLines();
    QVERIFY(lines.indexOf(QStringLiteral("~MainStart ")) > lines.indexOf(QStringLiteral("UI is UI_KALDOR_RDS_1024_600 ")));
    // The link's lines on stdout reach the end of the run.
    QVERIFY(QString::fromUtf8(m_launcher.readAllStandardOutput())
                .split(QLatin1Char('\n')).contains(QStringLiteral("Main app normal msg:13078, p1:18, p2:1.")));
}

QStringList TestLauncher::errLines()
{
    m_err += m_launcher.readAllStandardError();
    return QString::fromUtf8(m_err).split(QLatin1Char('\n'));
}

bool TestLauncher::waitForErrLine(const QString &line)
{
    return QTest::qWaitFor([&] { return errLines().contains(line); }, 20000);
}

int main(int argc, char **argv)
{
    // As root, a network namespace of its own keeps "@quillstone" private; the
    // resource lock keeps other tests off "/tmp/_vartk". No private /tmp: the
    // build, and so the launcher under test, may itself live below /tmp.
    if (geteuid() == 0)
        unshare(CLONE_NEWNET);
    QCoreApplication app(argc, argv);
    TestLauncher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launcher.moc"
