#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include "mcupeer.h"

// The simulator as a process, its output gathered as it comes.
class Sim
{
public:
    explicit Sim(const QStringList &args, const QByteArray &name = McuPeer::uniqueName())
        : name(name)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
        proc.setProcessEnvironment(env);
        proc.start(QStringLiteral(MCU_SIM_PATH), QStringList{QStringLiteral("--name"), QString::fromLatin1(name)} + args);
        proc.closeWriteChannel();
    }
    ~Sim()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished();
        }
    }
    QStringList lines()
    {
        out += proc.readAllStandardOutput();
        return QString::fromUtf8(out).split(QLatin1Char('\n'));
    }
    bool waitForLine(const QString &line)
    {
        return QTest::qWaitFor([&] { return lines().contains(line); }, 10000);
    }
    bool listening() { return waitForLine(QStringLiteral("# listening on ") + QString::fromLatin1(name)); }

    QByteArray name;
    QProcess proc;
    QByteArray out;
};

static bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

class TestMcuSim : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void badScenarioLine_data();
    void badScenarioLine();
    void decodesLauncherFrames_data();
    void decodesLauncherFrames();
    void recordsAndReplays();
};

void TestMcuSim::badScenarioLine_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QString>("error");
    QTest::newRow("missing argument") << QByteArray("key 1 2\n\nkey 1\n") << ":3: expected 'key <p1> <p2>'";
    QTest::newRow("unknown command") << QByteArray("bogus 1\n")
        << ":1: expected a command (key, cmd, version-req, mcu-type, uuid, mcu-version, time, rds-time, "
           "steer-study, base, sim, mcm, can, normal, raw, wait, wait-for, quit), got \"bogus\"";
    QTest::newRow("short study") << QByteArray("# comment\nsteer-study 00 01 02\n")
        << ":2: expected 'steer-study' with exactly 18 bytes in hex";
    QTest::newRow("no such date") << QByteArray("time 2026-02-30T00:00:00\n")
        << ":1: expected 'time <seconds>' or 'time <YYYY-MM-DDTHH:MM:SS>' (UTC)";
    QTest::newRow("word too wide") << QByteArray("normal 1 2 4294967296\n")
        << ":1: expected 'normal <msg> <p1> <p2>' with 32-bit numbers";
}

void TestMcuSim::badScenarioLine()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.scn"));
    QVERIFY(writeFile(path, scenario));

    Sim sim({QStringLiteral("--scenario"), path});
    QVERIFY(sim.proc.waitForFinished(10000));
    QCOMPARE(sim.proc.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(sim.proc.readAllStandardError()), path + error + QLatin1Char('\n'));
    // Nothing was set up: a bad file is refused before the socket is opened.
    QVERIFY(sim.proc.readAllStandardOutput().isEmpty());
}

void TestMcuSim::decodesLauncherFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("line");
    QTest::newRow("AppReady") << normalFrame(12, 17, 2) << "< AppReady p2=2";
    QTest::newRow("source") << normalFrame(12, 5, 0x0001FFFE) << "< Source id=65534 param=1";
    QTest::newRow("heartbeat") << normalFrame(12, 190, 0) << "< Heartbeat";
    QTest::newRow("eject") << normalFrame(12, 140, 0) << "< Eject";
    QTest::newRow("reply") << normalFrame(12, 186, 0) << "< Reply 186 p2=0";
    QTest::newRow("other command") << normalFrame(12, 99, 4) << "< Command p1=99 p2=4";
    QTest::newRow("normal") << normalFrame(7, 1, 2) << "< Normal msg=7 p1=1 p2=2";
    QTest::newRow("time reply") << outLong(2, 195, QByteArray::fromHex("0461cf9980"))
                                << "< TimeReply 2022-01-01 00:00:00 UTC (1640995200 s)";
    QTest::newRow("version reply")
        << outLong(2, 205, QByteArray::fromHex("1c05") + "CUST1" + '\x07' + "SDK1234" + '\x0d' + "20261206")
        << "< VersionReply customer=\"CUST1\" sdk=\"SDK1234\" date=\"20261206\" count=28";
    QTest::newRow("version reply, lengths past the end")
        << outLong(2, 205, QByteArray::fromHex("ff") + QByteArray(255, '\xff'))
        << "< VersionReply malformed data=" + QString::fromLatin1(QByteArray(256, '\xff').toHex(' '));
    QTest::newRow("key colour") << outLong(2, 19, QByteArray::fromHex("0401ff0203")) << "< KeyColour 255 2 3 (head 4 1)";
    QTest::newRow("media info") << outLong(2, 196, QByteArray::fromHex("0a0b")) << "< MediaInfo data=0a 0b";
    QTest::newRow("CAN") << outLong(3, 0x55, QByteArray::fromHex("010203")) << "< Can msg=85 data=01 02 03";
    QTest::newRow("unknown type") << QByteArray::fromHex("0700000061626364") << "< Unframed 07000000 61626364";
    QTest::newRow("cut short") << normalFrame(12, 17, 2).left(10) << "< Unframed 01000000 0c000000 1100";
}

void TestMcuSim::decodesLauncherFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, line);
    Sim sim({});
    QVERIFY(sim.listening());
    {
        McuPeer client;
        QVERIFY(client.connectTo(sim.name));
        QVERIFY(client.write(bytes));
    }
    QVERIFY(sim.waitForLine(QStringLiteral("# launcher disconnected (closed by the launcher)")));
    QVERIFY2(sim.lines().contains(line), qPrintable(sim.lines().join(QLatin1Char('\n'))));
}

void TestMcuSim::recordsAndReplays()
{
    QTemporaryDir dir;
    const QString scenario = dir.filePath(QStringLiteral("s.scn"));
    const QString record = dir.filePath(QStringLiteral("session.txt"));
    QVERIFY(writeFile(scenario, "wait-for AppReady\nkey 1 2\nquit\n"));
    const QByteArray key = QByteArray::fromHex("01000000163300000100000002000000");

    {
        Sim sim({QStringLiteral("--scenario"), scenario, QStringLiteral("--record"), record, QStringLiteral("--summary")});
        QVERIFY(sim.listening());
        McuPeer client;
        QVERIFY(client.connectTo(sim.name));
        QVERIFY(client.write(normalFrame(12, 17, 2)));
        QCOMPARE(client.read(16, 10000), key);
        QVERIFY(sim.proc.waitForFinished(10000));
        QCOMPARE(sim.proc.exitCode(), 0);
        QVERIFY(sim.lines().contains(QStringLiteral(
            "summary: 1 connection(s); 1 frames in (16 bytes): AppReady 1; 1 frames out (16 bytes): key 1")));
    }

    QFile rec(record);
    QVERIFY(rec.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(rec.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList patterns{
        QStringLiteral("^# mcu-sim session: .*$"),
        QStringLiteral("^# \\+\\d+\\.\\d{3} connected$"),
        QStringLiteral("^\\+\\d+\\.\\d{3} < 01000000 0c000000 11000000 02000000$"),
        QStringLiteral("^\\+\\d+\\.\\d{3} > 01000000 16330000 01000000 02000000$"),
        QStringLiteral("^# \\+\\d+\\.\\d{3} end$"),
    };
    QCOMPARE(lines.size(), patterns.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(QRegularExpression(patterns.at(i)).match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));

    // Replaying sends the simulator's side of the session again, and only that.
    Sim replay({QStringLiteral("--replay"), record});
    QVERIFY(replay.listening());
    McuPeer client;
    QVERIFY(client.connectTo(replay.name));
    QCOMPARE(client.read(16, 10000), key);
    QVERIFY(replay.waitForLine(QStringLiteral("> replay of line 4 (16 bytes)")));
}

QTEST_GUILESS_MAIN(TestMcuSim)

#include "tst_mcusim.moc"
