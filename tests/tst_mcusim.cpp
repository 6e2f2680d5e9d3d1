#include <QtTest>

#include <sys/socket.h>

#include "mcupeer.h"

// The simulator as its users and the acceptance tests rely on it: exit
// statuses, what it prints, recordings, replay and one-shot sends.
class TestMcuSim : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void session_data();
    void session();
};

void TestMcuSim::session_data()
{
    QTest::addColumn<QStringList>("args"); // %d: the test's directory
    QTest::addColumn<QByteArray>(
        "input"); // %d/in.scn, and standard input unless an argument names it
    // The peer: connects or not, may stop reading, runs "mcu-sim send" with what follows ':', sends
    // N AppReady.
    QTest::addColumn<QString>("launcher");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // pattern; then the one-shot's output and the recording
    const QStringList scn {"--scenario", "%d/in.scn"}, replay {"--replay", "%d/in.scn"};
    // Sends 20 s apart, an answer of the launcher's between them.
    const QByteArray recording(
        "# +0 connected\n+20 > 01000000 16330000 01000000 02000000\n"
        "+20.1 < 010000000c000000 1100000002000000\n+40 > 01000000 18330000 0000000000000000\n");
    QTest::newRow("refuses to replace a file")
        << QStringList {"--name", "%d/in.scn"} << QByteArray() << "" << 1
        << "^%d/in.scn exists and is not a socket; not replacing it\n$";
    QTest::newRow("every bad line, kinds too")
        << scn << QByteArray("wait-for AppRedy 9\nkey 1 1\nkey 1\n") << "" << 1
        << "^%d/in.scn:1: expected a kind of frame the launcher sends \\(.*\\), got \"AppRedy\"\n"
           "%d/in.scn:3: expected 'key <p1> <p2>'\n$";
    QTest::newRow("convert needs a capture")
        << QStringList {"--convert", "%d/in.scn"} << QByteArray() << "" << 1
        << "^--convert needs --pcap FILE, the capture to write\n$";
    QTest::newRow("convert refuses a bad line")
        << QStringList {"--convert", "%d/in.scn", "--pcap", "%d/out.pcapng"}
        << QByteArray("+1 < 01000000\nkey 1 1\n") << "" << 1
        << "^%d/in.scn:2: expected '\\+SECONDS < HEX' or '\\+SECONDS > HEX'\n$";
    QTest::newRow("no launcher came")
        << scn + QStringList {"--exit-after-idle", "100"} << QByteArray("key 1 1\n") << "" << 3
        << "^! 1 command\\(s\\) never ran, the first: key 1 1 \\(no launcher came\\)$";
    QTest::newRow("send failed") << scn << QByteArray("wait-for AppReady\nkey 1 1\n")
                                 << "stops reading, sends 1" << 3
                                 << "^! key 1 1: send failed: Broken pipe$";
    QTest::newRow("expect, filter, summary")
        << QStringList {"--filter=-AppReady", "--summary"}
        << QByteArray("expect AppReady p2=2\nexpect AppReady p2=3\nexpect Reply 50\n") << "sends 2"
        << 2
        << "1\\)\n# passed: expect AppReady p2=2\n! FAILED: expect AppReady p2=3: expected p2=3, "
           "got p2=2 in "
           "'AppReady p2=2'\n! FAILED: expect Reply 50: no Reply within 50 ms\n# 1 of 3 checks "
           "passed\n"
           "summary: 1 connection\\(s\\); 2 frames in \\(32 bytes\\): AppReady 2; 0 frames out";
    QTest::newRow("replay: speed, loop")
        << replay + QStringList {"--speed", "1000", "--loop", "2"} << recording << "connects" << 0
        << "^> Key p1=1 p2=2\n> VersionReq\n> Key p1=1 p2=2\n> VersionReq$";
    QTest::newRow("replay: no timing, answers")
        << replay + QStringList {"--no-timing", "--wait-answers", "50"} << recording << "connects"
        << 2 << "^> Key p1=1 p2=2\n! FAILED: %d/in.scn:3: the launcher's AppReady: no";
    // Standard input ends before the queue is done.
    QTest::newRow("record, one-shot send, -t")
        << QStringList {"--record", "%d/rec.txt", "-t", "r"} << QByteArray("wait-for AppReady\n")
        << "sends 1: key 1 2" << 0
        << "^\\(0\\.\\d{3}\\) # launcher connected \\(connection 1\\)\n\\(\\d+\\.\\d{3}\\) > Key "
           "p1=1 p2=2\n[\\s\\S]*\n"
           "> Key p1=1 p2=2\n# mcu-sim \\S+ session on %d/mcu.sock, started "
           "\\d{4}-\\d\\d-\\d\\dT[\\d:.]{12}[\\s\\S]*\n"
           "\\+[\\d.]+ > 01000000 16330000 01000000 02000000  # Key p1=1 p2=2\n";
}

void TestMcuSim::session()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QString, launcher);
    QFETCH(int, status);
    QFETCH(QString, output);
    QTemporaryDir dir;
    const QString name = dir.filePath("mcu.sock");
    QFile in(dir.filePath("in.scn")), rec(dir.filePath("rec.txt"));
    QVERIFY(in.open(QIODevice::ReadWrite) && in.write(input) == input.size() && in.flush());

    // The control socket goes below the test's directory.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    QProcess sim, send;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(MCU_SIM_PATH, QStringList {"--name", name} + args.replaceInStrings("%d", dir.path()));
    sim.write(args.contains(in.fileName()) ? QByteArray() : input);
    sim.closeWriteChannel();
    McuPeer peer;
    QByteArray out;
    if (!launcher.isEmpty()) {
        QVERIFY(QTest::qWaitFor([&] { return peer.connectTo(QFile::encodeName(name)); }));
        if (launcher.startsWith("stops reading"))
            QCOMPARE(::shutdown(peer.fd(), SHUT_RD), 0);
        if (launcher.contains(':')) {
            send.start(MCU_SIM_PATH,
                       QStringList {"--name", name, "send"} + launcher.section(": ", 1).split(' '));
            QVERIFY(send.waitForFinished(10000));
            out = send.readAll();
        }
        QVERIFY(peer.write(
            normalFrame(12, 17, 2).repeated(launcher.section(':', 0, 0).rightRef(1).toInt())));
    }
    QVERIFY(sim.waitForFinished(10000));
    out = sim.readAll() + out + (rec.open(QIODevice::ReadOnly) ? rec.readAll() : "");
    const QRegularExpression pattern(output.replace("%d", dir.path()),
                                     QRegularExpression::MultilineOption);
    QVERIFY2(pattern.match(QString::fromUtf8(out)).hasMatch(), out.constData());
    QCOMPARE(sim.exitCode(), status);
    QVERIFY(in.seek(0) && in.readAll() == input && !QFile::exists(name));
}

QTEST_GUILESS_MAIN(TestMcuSim)

#include "tst_mcusim.moc"
