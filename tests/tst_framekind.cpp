#include <QtTest>

#include "framecodec.h"
#include "framekind.h"
#include "simcommand.h"

// The table of frame kinds as everything else sees it: each command builds
// its kind's frame, each frame decodes to its kind, fields and line, and the
// help and the errors list what the table holds. A new kind adds its row here;
// everyKindHasARow fails until it does.
class TestFrameKind : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void sendsAndPrints_data();
    void sendsAndPrints();
    void decodes_data();
    void decodes();
    void everyKindHasARow_data();
    void everyKindHasARow();
    void helpAndErrorListEveryCommand_data();
    void helpAndErrorListEveryCommand();
    void helpListsEveryKind_data();
    void helpListsEveryKind();
};

namespace {

struct Row
{
    const char *name;
    char direction; // '<' from the launcher, '>' from the MCU
    // A command for '>' rows with one, else the frame in hex; held, as some are built.
    QByteArray input;
    const char *kind;
    const char *text;
    const char *fields; // name=value, ", " between them
};

QByteArray zeros(int n)
{
    return QByteArray(n * 2, '0');
}

const QVector<Row> &rows()
{
    static const QByteArray version = "02000000cd000000200548454c4c4f0753444b5f312e300d"
        + QByteArray("20261207").toHex() + zeros(256 - 24);
    static const QVector<Row> rows {
        {"key", '>', "key 0x12 1", "Key", "Key p1=18 p2=1", "p1=18, p2=1"},
        {"cmd", '>', "cmd 13 7", "Cmd", "Cmd sub=13 p2=7", "sub=13, p2=7"},
        {"version-req", '>', "version-req", "VersionReq", "VersionReq", ""},
        {"mcu-type", '>', "mcu-type 3 1", "McuType", "McuType mcu=3 tuner=1", "mcu=3, tuner=1"},
        {"discard", '>', "01000000 01710000 04000000 05000000", "Discard", "Discard p1=4 p2=5",
         "p1=4, p2=5"},
        {"normal", '>', "normal 99 1 2", "Normal", "Normal msg=99 p1=1 p2=2", "msg=99, p1=1, p2=2"},
        {"uuid", '>', "uuid KD 1234", "Uuid", "Uuid prefix=\"KD\" number=1234",
         "prefix=KD, number=1234"},
        {"mcu-version", '>', "mcu-version \"MCU 1.02\"", "McuVersion",
         "McuVersion text=\"MCU 1.02\"", "text=MCU 1.02"},
        {"time", '>', "time 2026-01-15T08:30:00", "Time",
         "Time 2026-01-15 08:30:00 UTC (1768465800 s)",
         "seconds=1768465800, date=2026-01-15, time=08:30:00"},
        {"negative time", '>', "time 0xffffffff", "Time", "Time 1969-12-31 23:59:59 UTC (-1 s)",
         "seconds=-1, date=1969-12-31, time=23:59:59"},
        {"rds-time", '>', "rds-time 13 5", "RdsTime", "RdsTime hour=13 minute=5",
         "hour=13, minute=5"},
        {"steer-study", '>', "steer-study 010203040506070809101112131415161718", "SteerStudy",
         "SteerStudy data=01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18",
         "data=01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18"},
        {"base", '>', "base 57 0102", "Base", "Base msg=57 data=01 02", "msg=57, data=01 02"},
        {"base, last of the range", '>', "02000000 4e000000 0d000000 01", "Base",
         "Base msg=78 data=01", "msg=78, data=01"},
        {"sim", '>', "sim 01 02", "Sim", "Sim data=01 02", "data=01 02"},
        {"mcm", '>', "mcm ffee", "Mcm", "Mcm data=ff ee", "data=ff ee"},
        {"auto test", '>', "02000000 70000000 0e000000 0102", "AutoTest", "AutoTest data=01 02",
         "data=01 02"},
        {"can", '>', "can 12 0000ed4e", "Can", "Can msg=12 data=00 00 ed 4e",
         "msg=12, data=00 00 ed 4e"},
        {"long, next to the base range", '>', "base 79 01", "Long", "Long msg=79 data=01",
         "msg=79, data=01"},
        {"raw", '>', "raw 01000000 16330000", "Unframed", "Unframed 01000000 16330000",
         "bytes=01000000 16330000"},

        {"app ready", '<', "01000000 0c000000 11000000 02000000", "AppReady", "AppReady p2=2",
         "p2=2"},
        {"source", '<', "01000000 0c000000 05000000 01000300", "Source", "Source id=1 param=3",
         "id=1, param=3"},
        {"heartbeat", '<', "01000000 0c000000 be000000 00000000", "Heartbeat", "Heartbeat", ""},
        {"eject", '<', "01000000 0c000000 8c000000 00000000", "Eject", "Eject", ""},
        {"reply", '<', "01000000 0c000000 ba000000 09000000", "Reply", "Reply 186 p2=9", "p2=9"},
        {"key study command", '<', "01000000 0c000000 bd000000 07000000", "KeyStudy",
         "KeyStudy cmd=0 value=7", "cmd=0, value=7"},
        {"other command", '<', "01000000 0c000000 63000000 03000000", "Command",
         "Command p1=99 p2=3", "p1=99, p2=3"},
        {"launcher's normal", '<', "01000000 07000000 01000000 02000000", "Normal",
         "Normal msg=7 p1=1 p2=2", "msg=7, p1=1, p2=2"},
        {"time reply", '<', "02000000 c3000000 0500ed4e 00" + zeros(251), "TimeReply",
         "TimeReply 1970-06-30 00:00:00 UTC (15552000 s) count=5",
         "seconds=15552000, date=1970-06-30, time=00:00:00, count=5"},
        {"version reply", '<', version, "VersionReply",
         "VersionReply customer=\"HELLO\" sdk=\"SDK_1.0\" date=\"20261207\" count=32",
         "customer=HELLO, sdk=SDK_1.0, date=20261207, count=32"},
        {"version reply, texts past the end", '<', "02000000 cd000000 01ff" + zeros(254),
         "VersionReply", "VersionReply malformed data=01 ff", "data=01 ff"},
        {"key colour", '<', "02000000 13000000 040103ff02" + zeros(251), "KeyColour",
         "KeyColour 3 255 2 (head 4 1)", "colour1=3, colour2=255, colour3=2"},
        {"key study data", '<', "02000000 c9000000 0305" + zeros(254), "KeyStudy",
         "KeyStudy cmd=3 value=5", "cmd=3, value=5"},
        {"media info", '<', "02000000 c4000000" + zeros(256), "MediaInfo", "MediaInfo data=(zero)",
         "data=(zero)"},
        {"launcher's can", '<', "03000000 e7030000" + zeros(256), "Can", "Can msg=999 data=(zero)",
         "msg=999, data=(zero)"},
        {"launcher's long", '<', "02000000 4d000000 01" + zeros(255), "Long", "Long msg=77 data=01",
         "msg=77, data=01"},
        {"launcher's frame cut short", '<', "01000000 0c000000 11000000", "Unframed",
         "Unframed 01000000 0c000000 11000000", "bytes=01000000 0c000000 11000000"},
    };
    return rows;
}

bool isCommand(const Row &row)
{
    return row.direction == '>'
        && FrameKind::byCommand(QString::fromLatin1(row.input).section(' ', 0, 0));
}

QString fieldText(const DecodedFrame &d)
{
    QStringList parts;
    for (const auto &f : d.fields)
        parts << f.first + '=' + f.second;
    return parts.join(", ");
}

} // namespace

void TestFrameKind::initTestCase()
{
    // The clock kinds print local time.
    qputenv("TZ", "UTC");
}

void TestFrameKind::sendsAndPrints_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fields");
    for (const Row &row : rows()) {
        if (isCommand(row))
            QTest::newRow(row.name)
                << QString::fromLatin1(row.input) << row.kind << row.text << row.fields;
    }
}

// What a command sends is read back as its kind, printed as the simulator prints it.
void TestFrameKind::sendsAndPrints()
{
    QFETCH(QString, command);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, fields);
    SimCommand cmd;
    QString error;
    QVERIFY2(SimCommand::parse(command, &cmd, &error), qPrintable(error));
    QCOMPARE(cmd.kind, SimCommand::Send);
    const DecodedFrame d = FrameCodec::decodeInbound(cmd.bytes);
    QCOMPARE(d.kind, kind);
    QCOMPARE(d.text, text);
    QCOMPARE(fieldText(d), fields);
}

void TestFrameKind::decodes_data()
{
    QTest::addColumn<char>("direction");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fields");
    for (const Row &row : rows()) {
        if (!isCommand(row))
            QTest::newRow(row.name)
                << row.direction << QByteArray::fromHex(QByteArray(row.input).replace(' ', ""))
                << row.kind << row.text << row.fields;
    }
}

void TestFrameKind::decodes()
{
    QFETCH(char, direction);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, fields);
    const DecodedFrame d = direction == '<' ? FrameCodec::decode(bytes)
                                            : FrameCodec::decodeInbound(bytes);
    QCOMPARE(d.kind, kind);
    QCOMPARE(d.text, text);
    QCOMPARE(fieldText(d), fields);
}

void TestFrameKind::everyKindHasARow_data()
{
    QTest::addColumn<char>("direction");
    QTest::addColumn<QString>("kind");
    for (const QString &kind : FrameKind::names(FrameKind::FromLauncher))
        QTest::newRow(qPrintable("< " + kind)) << '<' << kind;
    for (const QString &kind : FrameKind::names(FrameKind::ToLauncher))
        QTest::newRow(qPrintable("> " + kind)) << '>' << kind;
}

void TestFrameKind::everyKindHasARow()
{
    QFETCH(char, direction);
    QFETCH(QString, kind);
    const auto &all = rows();
    QVERIFY(std::any_of(all.cbegin(), all.cend(), [&](const Row &row) {
        return row.direction == direction && kind == QLatin1String(row.kind);
    }));
}

void TestFrameKind::helpAndErrorListEveryCommand_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("usage");
    for (const FrameKind &kind : FrameKind::all()) {
        if (!kind.command.isEmpty())
            QTest::newRow(qPrintable(kind.command)) << kind.command << kind.usage;
    }
}

// Both name every command that sends a frame, the help with its usage.
void TestFrameKind::helpAndErrorListEveryCommand()
{
    QFETCH(QString, command);
    QFETCH(QString, usage);
    QVERIFY2(SimCommand::help().contains("\n  " + usage + ' '), qPrintable(SimCommand::help()));
    SimCommand cmd;
    QString error;
    QVERIFY(!SimCommand::parse("bogus", &cmd, &error));
    const QStringList listed = error.section('(', 1).section(')', 0, 0).split(", ");
    QVERIFY2(listed.contains(command), qPrintable(error));
}

void TestFrameKind::helpListsEveryKind_data()
{
    QTest::addColumn<QString>("kind");
    for (const QString &kind : FrameKind::names(FrameKind::FromLauncher))
        QTest::newRow(qPrintable(kind)) << kind;
}

// What wait-for and expect take, as the help lists it.
void TestFrameKind::helpListsEveryKind()
{
    QFETCH(QString, kind);
    const QRegularExpression listed("Kind as printed:[\\w\\s,]*\\b" + kind + "\\b");
    QVERIFY2(listed.match(SimCommand::help()).hasMatch(), qPrintable(SimCommand::help()));
}

QTEST_GUILESS_MAIN(TestFrameKind)

#include "tst_framekind.moc"
