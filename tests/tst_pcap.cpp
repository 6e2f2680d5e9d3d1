#include <QtTest>

#include "framecodec.h"

// The simulator's captures read by the real tshark through the link's Lua
// dissector: every shipped scenario played against the real launcher with
// --pcap, a recording turned into a capture with --convert, and single frames
// the launcher treats as malformed. The dissector is written from the wire
// format, so it is the simulator's second opinion: both decode every frame alike.
class TestPcap : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void decodesLikeSimulator_data();
    void decodesLikeSimulator();
    void convertKeepsFramesAndTimes();
    void malformedScenarioExperts_data();
    void malformedScenarioExperts();
    void expertInfo_data();
    void expertInfo();
    void filterSelectsOneKind_data();
    void filterSelectsOneKind();

private:
    struct Recorded
    {
        char direction;
        QByteArray bytes;
        QString text; // as the simulator printed it
    };

    QString path(const QString &file) const { return m_dir.filePath(file); }
    bool play(const QString &scenario, QString *log);
    bool tshark(const QString &capture, const QStringList &args, QString *out);
    QVector<QStringList> fields(const QString &capture, const QStringList &names,
                                const QStringList &more = QStringList());
    static QVector<Recorded> recording(const QString &file);

    QTemporaryDir m_dir;
    QStringList m_scenarios;
    QHash<QString, QVector<QStringList>> m_fields; // tshark takes a second to start
};

namespace {

// Frames no shipped scenario sends, each converted from a one-line recording,
// with the expert messages the dissector gives them ('|' between several).
struct EdgeFrame
{
    const char *name;
    char direction;
    QByteArray hex;
    const char *experts;
};

QByteArray zeros(int n)
{
    return QByteArray(n * 2, '0');
}

const QVector<EdgeFrame> &edgeFrames()
{
    static const QVector<EdgeFrame> frames {
        {"length word 5", '>', "02000000 39000000 05000000 0102",
         "Length word 5, shorter than the 12-byte header: the launcher discards its whole "
         "receive buffer"},
        {"length word over the buffer", '>', "02000000 39000000 01280000 0102",
         "Length word 10241, over the launcher's 10240-byte buffer: the launcher discards its "
         "whole receive buffer"},
        // 300 bytes: the launcher hands on 268 and reads two key presses from the rest.
        {"length word 300", '>',
         "02000000 39000000 2c010000" + zeros(256) + "01000000 16330000 12000000 01000000"
             + "01000000 16330000 12000000 00000000",
         "Length word 300: the launcher hands on the first 268 bytes and reads the next frame "
         "from there"},
        {"more than one frame", '>', "01000000 18330000 00000000 00000000 01000000 18330000",
         "8 bytes of a frame of 16: the launcher waits for the rest"},
        {"rest of that frame", '>', "00000000 00000000",
         "Completes a frame begun in packet 4: VersionReq"},
        {"long id 63 dropped", '>', "02000000 3f000000 0d000000 01",
         "Long message id 63: the launcher drops it"},
        {"long id 64 taken", '>', "02000000 40000000 0d000000 01", ""},
        {"header only", '>', "02000000 0c000000 0c000000", ""},
        {"version reply count", '<',
         "02000000 cd000000 2005" + QByteArray("HELLO").toHex() + "07"
             + QByteArray("SDK_1.0").toHex() + "0d" + QByteArray("20261207").toHex()
             + zeros(256 - 24),
         "Count byte 32, but the texts make 28 (5 + 7 + 16)"},
        {"launcher frame cut short", '<', "01000000 0c000000 11000000",
         "The MCU service takes 16 bytes for type 1 and 264 for types 2 and 3"},
        {"steering study", '>', "02000000 2f000000 16000000 010203040506 1234 ffff", ""},
        {"source", '<', "01000000 0c000000 05000000 03000100", ""},
        {"key colour", '<', "02000000 13000000 040103ff02" + zeros(251), ""},
    };
    return frames;
}

// tshark field of each field the simulator decodes, by kind, "#N" for its Nth
// occurrence; the field name itself where it means the same in every kind.
QString tsharkField(const QString &kind, const QString &field)
{
    static const QHash<QString, QString> byKind {
        {"Source.id", "mculink.source.id"},
        {"Source.param", "mculink.source.param"},
        {"KeyStudy.cmd", "mculink.keystudy.cmd"},
        {"KeyStudy.value", "mculink.keystudy.value"},
        {"TimeReply.seconds", "mculink.time.seconds"},
        {"Time.seconds", "mculink.time.seconds"},
        {"VersionReply.customer", "mculink.version.customer"},
        {"VersionReply.sdk", "mculink.version.sdk"},
        {"VersionReply.date", "mculink.version.date"},
        {"KeyColour.colour1", "mculink.colour#1"},
        {"KeyColour.colour2", "mculink.colour#2"},
        {"KeyColour.colour3", "mculink.colour#3"},
        {"Key.p1", "mculink.key.code"},
        {"Key.p2", "mculink.key.state"},
        {"Cmd.sub", "mculink.sub"},
        {"McuType.mcu", "mculink.mcu_type"},
        {"McuType.tuner", "mculink.tuner_type"},
        {"RdsTime.hour", "mculink.rds.hour"},
        {"RdsTime.minute", "mculink.rds.minute"},
        {"Uuid.prefix", "mculink.uuid.prefix"},
        {"Uuid.number", "mculink.uuid.number"},
        {"McuVersion.text", "mculink.mcu_version"},
        {"Unframed.bytes", "mculink.unframed"},
        {"Time.date", "mculink.time"},
        {"Time.time", "mculink.time"},
        {"TimeReply.date", "mculink.time"},
        {"TimeReply.time", "mculink.time"},
    };
    return byKind.value(kind + '.' + field, "mculink." + field);
}

// What tshark printed, in the simulator's notation.
QString inSimulatorNotation(const QString &field, const QString &tsharkField, const QString &value)
{
    if (tsharkField == "mculink.unframed")
        return FrameCodec::wordHex(QByteArray::fromHex(value.toLatin1()));
    if (tsharkField == "mculink.data") {
        // The simulator leaves out the zero padding.
        QByteArray data = QByteArray::fromHex(value.toLatin1());
        while (data.endsWith('\0'))
            data.chop(1);
        return data.isEmpty() ? "(zero)" : QString::fromLatin1(data.toHex(' '));
    }
    if (tsharkField == "mculink.time") {
        // "Jan  1, 2022 08:30:00.000000000 UTC", local time as the simulator's.
        const QDateTime t = QLocale::c().toDateTime(value.simplified().section('.', 0, 0),
                                                    "MMM d, yyyy HH:mm:ss");
        return t.toString(field == "date" ? "yyyy-MM-dd" : "HH:mm:ss");
    }
    return value;
}

} // namespace

void TestPcap::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The control socket below the test's directory; tshark's own settings there too.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    m_scenarios = QDir(SCENARIO_DIR).entryList({"*.scn"});
    m_scenarios.replaceInStrings(".scn", QString());
    QVERIFY(!m_scenarios.isEmpty());
    for (const QString &name : qAsConst(m_scenarios)) {
        QString log;
        QVERIFY2(play(name, &log), qPrintable(log));
    }
    QFile edge(path("edge.txt"));
    QVERIFY(edge.open(QIODevice::WriteOnly));
    for (const EdgeFrame &frame : edgeFrames()) {
        const QByteArray bytes = QByteArray::fromHex(QByteArray(frame.hex).replace(' ', ""));
        const DecodedFrame d = frame.direction == '<' ? FrameCodec::decode(bytes)
                                                      : FrameCodec::decodeInbound(bytes);
        edge.write(
            QStringLiteral("+0.100 %1 %2  # %3\n")
                .arg(QString(QLatin1Char(frame.direction)), FrameCodec::wordHex(bytes), d.text)
                .toUtf8());
    }
    edge.close();
    for (const QString &name : {QStringLiteral("normal-boot"), QStringLiteral("edge")}) {
        QProcess convert;
        convert.start(MCU_SIM_PATH,
                      {"--convert", path(name + ".txt"), "--pcap", path(name + "-conv.pcapng")});
        QVERIFY(convert.waitForFinished(10000));
        QVERIFY2(convert.exitCode() == 0, convert.readAllStandardError().constData());
    }
}

// The scenario against the real launcher, captured and recorded at once.
bool TestPcap::play(const QString &scenario, QString *log)
{
    QProcess sim, launcher;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(MCU_SIM_PATH,
              {"--scenario", scenario, "--pcap", path(scenario + ".pcapng"), "--record",
               path(scenario + ".txt")});
    sim.closeWriteChannel();
    if (!sim.waitForReadyRead(10000))
        return false;
    launcher.start(LAUNCHER_PATH, QStringList());
    const bool passed = sim.waitForFinished(60000) && sim.exitCode() == 0;
    *log = QString::fromUtf8(sim.readAll());
    launcher.terminate();
    if (!launcher.waitForFinished(20000))
        launcher.kill();
    return passed;
}

bool TestPcap::tshark(const QString &capture, const QStringList &args, QString *out)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No personal settings or plugins of whoever runs the tests.
    env.insert("HOME", m_dir.path());
    env.insert("XDG_CONFIG_HOME", m_dir.filePath("config"));
    p.setProcessEnvironment(env);
    p.start("tshark", QStringList {"-n", "-X", "lua_script:" DISSECTOR_PATH, "-r", capture} + args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit
        && p.exitCode() == 0;
    *out = QString::fromUtf8(p.readAllStandardOutput());
    if (!ok)
        *out += QString::fromUtf8(p.readAllStandardError()) + p.errorString();
    return ok;
}

// One row per packet, one column per field; several occurrences joined by '|'.
QVector<QStringList> TestPcap::fields(const QString &capture, const QStringList &names,
                                      const QStringList &more)
{
    QStringList args {"-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"};
    for (const QString &name : names)
        args << "-e" << name;
    args += more;
    const QString key = capture + '\n' + args.join('\n');
    if (m_fields.contains(key))
        return m_fields.value(key);
    QString out;
    if (!tshark(capture, args, &out)) {
        qWarning("%s", qPrintable(out));
        return {};
    }
    QStringList lines = out.split('\n');
    lines.removeLast(); // after the last line's end
    QVector<QStringList> rows;
    for (const QString &line : lines)
        rows << line.split('\t');
    m_fields.insert(key, rows);
    return rows;
}

QVector<TestPcap::Recorded> TestPcap::recording(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    static const QRegularExpression line("^\\+[\\d.]+ ([<>]) ([0-9a-f ]+?)  # (.*)$");
    QVector<Recorded> frames;
    for (const QString &l : QString::fromUtf8(f.readAll()).split('\n')) {
        const auto m = line.match(l);
        if (m.hasMatch())
            frames.append({m.captured(1).at(0).toLatin1(),
                           QByteArray::fromHex(m.captured(2).toLatin1()), m.captured(3)});
    }
    return frames;
}

void TestPcap::decodesLikeSimulator_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("recording");
    for (const QString &name : qAsConst(m_scenarios))
        QTest::newRow(qPrintable(name)) << name + ".pcapng" << name + ".txt";
    QTest::newRow("normal-boot converted") << "normal-boot-conv.pcapng"
                                           << "normal-boot.txt";
    QTest::newRow("edge frames converted") << "edge-conv.pcapng"
                                           << "edge.txt";
}

void TestPcap::decodesLikeSimulator()
{
    QFETCH(QString, capture);
    QFETCH(QString, recording);
    const QVector<Recorded> frames = TestPcap::recording(path(recording));
    QVERIFY(!frames.isEmpty());
    // A dissector fault shows as Wireshark's "Malformed Packet" or a Lua error.
    QString details;
    QVERIFY2(tshark(path(capture), {"-V"}, &details), qPrintable(details));
    QVERIFY2(!details.contains("Malformed Packet") && !details.contains("Lua Error"),
             qPrintable(details));

    QStringList names {"mculink.direction", "mculink.kind", "_ws.col.Info"};
    QVector<DecodedFrame> decoded;
    for (const Recorded &frame : frames) {
        decoded << (frame.direction == '<' ? FrameCodec::decode(frame.bytes)
                                           : FrameCodec::decodeInbound(frame.bytes));
        for (const auto &f : decoded.last().fields) {
            const QString name = tsharkField(decoded.last().kind, f.first).section('#', 0, 0);
            if (!names.contains(name))
                names << name;
        }
    }
    const QVector<QStringList> rows = fields(path(capture), names);
    QCOMPARE(rows.size(), frames.size());
    for (int i = 0; i < frames.size(); ++i) {
        const QStringList &row = rows.at(i);
        const DecodedFrame &d = decoded.at(i);
        const QString where = QStringLiteral("packet %1: ").arg(i + 1);
        QCOMPARE(where + row.at(0), where + (frames.at(i).direction == '<' ? "0" : "1"));
        QCOMPARE(where + row.at(1), where + d.kind);
        QCOMPARE(where + row.at(2), where + frames.at(i).text);
        QCOMPARE(where + row.at(2), where + d.text);
        for (const auto &f : d.fields) {
            const QString field = tsharkField(d.kind, f.first);
            const QString name = field.section('#', 0, 0);
            const int occurrence = qMax(1, field.section('#', 1).toInt());
            const QString printed = row.at(names.indexOf(name)).split('|').value(occurrence - 1);
            QCOMPARE(where + f.first + '=' + inSimulatorNotation(f.first, name, printed),
                     where + f.first + '=' + f.second);
        }
    }
}

// The converted recording holds the live capture's frames, in the same
// directions, at the recorded times (the recording keeps milliseconds).
void TestPcap::convertKeepsFramesAndTimes()
{
    const QStringList names {"frame.time_epoch", "mculink.direction"};
    const QVector<QStringList> live = fields(path("normal-boot.pcapng"), names);
    const QVector<QStringList> converted = fields(path("normal-boot-conv.pcapng"), names);
    QVERIFY(!live.isEmpty());
    QCOMPARE(converted.size(), live.size());
    for (int i = 0; i < live.size(); ++i) {
        QCOMPARE(converted.at(i).at(1), live.at(i).at(1));
        QVERIFY2(qAbs(converted.at(i).at(0).toDouble() - live.at(i).at(0).toDouble()) < 0.0015,
                 qPrintable(converted.at(i).at(0) + " vs " + live.at(i).at(0)));
    }
    QString liveBytes, convertedBytes;
    QVERIFY(tshark(path("normal-boot.pcapng"), {"-x"}, &liveBytes));
    QVERIFY(tshark(path("normal-boot-conv.pcapng"), {"-x"}, &convertedBytes));
    QCOMPARE(convertedBytes, liveBytes);
}

void TestPcap::malformedScenarioExperts_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("experts");
    QTest::newRow("split key, first half")
        << "Unframed 01000000 16330000"
        << "8 bytes of a frame of 16: the launcher waits for the rest";
    QTest::newRow("split key, second half") << "Unframed 01000000 02000000"
                                            << "Completes a frame begun in packet 2: Key p1=1 p2=2";
    QTest::newRow("unknown type") << "Unframed 04000000 01000000 0c000000"
                                  << "Type 4: the launcher drops the frame";
    QTest::newRow("UUID cut short") << "Uuid prefix=\"AB\" number=0"
                                    << "";
    QTest::newRow("unhandled long id") << "Long msg=80 data=01 02 03 04"
                                       << "Long message id 80: the launcher drops it";
    QTest::newRow("length word 0")
        << "Unframed 02000000 39000000 00000000"
        << "Length word 0: the launcher discards its whole receive buffer";
    QTest::newRow("negative length word")
        << "Unframed 02000000 39000000 ffffffff"
        << "Negative length word -1: the launcher discards its whole receive buffer";
    QTest::newRow("well-formed key afterwards") << "Key p1=18 p2=1"
                                                << "";
}

void TestPcap::malformedScenarioExperts()
{
    QFETCH(QString, info);
    QFETCH(QString, experts);
    const QVector<QStringList> rows = fields(path("malformed.pcapng"),
                                             {"_ws.col.Info", "_ws.expert.message"});
    const auto row = std::find_if(rows.cbegin(), rows.cend(),
                                  [&](const QStringList &r) { return r.at(0) == info; });
    QVERIFY2(row != rows.cend(), qPrintable(info));
    QCOMPARE(row->at(1), experts);
}

void TestPcap::expertInfo_data()
{
    QTest::addColumn<int>("packet");
    QTest::addColumn<QString>("experts");
    for (int i = 0; i < edgeFrames().size(); ++i)
        QTest::newRow(edgeFrames().at(i).name) << i + 1 << edgeFrames().at(i).experts;
}

void TestPcap::expertInfo()
{
    QFETCH(int, packet);
    QFETCH(QString, experts);
    const QVector<QStringList> rows = fields(path("edge-conv.pcapng"), {"_ws.expert.message"});
    QCOMPARE(rows.size(), edgeFrames().size());
    QCOMPARE(rows.at(packet - 1).at(0), experts);
}

void TestPcap::filterSelectsOneKind_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("kind");
    QTest::newRow("key presses by id") << "normal-boot"
                                       << "mculink.msg == 13078"
                                       << "Key";
    QTest::newRow("replies by command") << "normal-boot"
                                        << "mculink.cmd == 186"
                                        << "Reply";
    QTest::newRow("time replies by kind") << "clock"
                                          << "mculink.kind == \"TimeReply\""
                                          << "TimeReply";
    QTest::newRow("clock from the MCU") << "clock"
                                        << "mculink.direction == 1 && mculink.time"
                                        << "Time";
}

void TestPcap::filterSelectsOneKind()
{
    QFETCH(QString, scenario);
    QFETCH(QString, filter);
    QFETCH(QString, kind);
    QStringList expected;
    const QVector<Recorded> frames = recording(path(scenario + ".txt"));
    for (int i = 0; i < frames.size(); ++i) {
        if (frames.at(i).text.section(' ', 0, 0) == kind)
            expected << QString::number(i + 1);
    }
    QVERIFY(!expected.isEmpty());
    QStringList selected;
    for (const QStringList &row :
         fields(path(scenario + ".pcapng"), {"frame.number"}, {"-Y", filter}))
        selected << row.at(0);
    QCOMPARE(selected, expected);
}

QTEST_GUILESS_MAIN(TestPcap)

#include "tst_pcap.moc"
