#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/socket.h>

#include "basecontrol.h"
#include "clockrecorder.h"
#include "hostframework.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "messagecapture.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }
QByteArray mcuLong(qint32 msg, const QByteArray &data) { return longFrame(2, quint32(msg), data); }
QString recordArg(const QByteArray &frame) { return QString::fromLatin1(mcuRecord(frame).toHex()); }
// A literal with its embedded zero bytes.
template<int N>
QByteArray text(const char (&s)[N]) { return QByteArray(s, N - 1); }

QByteArray printedLine(const QByteArray &frame)
{
    if (qFromLittleEndian<quint32>(frame.constData()) != 1)
        return QByteArray();
    auto word = [&](int i) { return QByteArray::number(qFromLittleEndian<quint32>(frame.constData() + 4 * i)); };
    return "Main app normal msg:" + word(1) + ", p1:" + word(2) + ", p2:" + word(3) + ".\n";
}

// Sent behind every case: once the framework has seen it, every frame before
// it has been handled.
const QByteArray Marker = normalFrame(0x3316, 0xFEED, 0);
const QString MarkerCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal(65261, 0)");
const QByteArray Heartbeat = normalFrame(12, 190, 0);

} // namespace

class TestMcuDispatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_link->Stop(); }
    void init() { HostFramework::setPlatformControlAvailable(true); }
    void frames_data();
    void frames();
    void replyBeforeNotify();
    void versionReply_data();
    void versionReply();

private:
    // Writes the frames and the marker, and waits until the marker is handled.
    bool dispatch(const QByteArray &frames, QStringList *calls, QByteArray *printed);

    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
};

void TestMcuDispatch::initTestCase()
{
    SystemClock::setInstance(&m_clock);
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
}

bool TestMcuDispatch::dispatch(const QByteArray &frames, QStringList *calls, QByteArray *printed)
{
    const int mark = journalMark();
    StdoutCapture out;
    if (!m_peer.write(frames + Marker)
        || !QTest::qWaitFor([&] { return journalLines(mark).contains(MarkerCall); }, 10000))
        return false;
    *calls = journalLines(mark);
    *printed = out.text();
    const QByteArray markerLine = printedLine(Marker);
    if (calls->takeLast() != MarkerCall || !printed->endsWith(markerLine))
        return false;
    printed->chop(markerLine.size());
    return true;
}

void TestMcuDispatch::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("debug");
    QTest::addColumn<QByteArray>("reply");

    const QStringList none;
    const QString am = QStringLiteral("ActivityManager::self()");
    const QString pc = QStringLiteral("PlatformControl::getInstance()");
    auto row = [&](const QString &tag, const QByteArray &f, const QStringList &calls, const QStringList &debug = {},
                   const QByteArray &reply = {}) { QTest::newRow(qPrintable(tag)) << f << calls << debug << reply; };

    // Normal frames.
    row("notify value", normalFrame(0x0211, 13, 7), {am, "ActivityManager::notifyMcuValue(7)"}, none, normalFrame(12, 186, 0));
    row("notify value -1", normalFrame(0x0211, 13, 0xFFFFFFFF), {am, "ActivityManager::notifyMcuValue(-1)"}, none,
        normalFrame(12, 186, 0));
    row("eject", normalFrame(0x0211, 47, 3), {"BaseControl::ejectSlot()"});
    row("other command", normalFrame(0x0211, 5, 1), none);
    row("key", normalFrame(0x3316, 3, 1), {"BaseControl::sendMcuKeyPressedSignal(3, 1)"});
    row("key, high values", normalFrame(0x3316, 0x80000000, 0xFFFFFFFF),
        {"BaseControl::sendMcuKeyPressedSignal(-2147483648, -1)"});
    row("MCU type", normalFrame(0x3358, 65539, 0xFFFF), {"AppData::setMcuType(3)", "AppData::setTunerType(-1)"},
        {"==========>MSG_M2A_MCU_TYPE: 65539 tuner type:  65535"});
    row("MCU type, high bits", normalFrame(0x3358, 0xFFFF8001, 0x12347FFF),
        {"AppData::setMcuType(-32767)", "AppData::setTunerType(32767)"},
        {"==========>MSG_M2A_MCU_TYPE: 4294934529 tuner type:  305430527"});
    row("discard", normalFrame(0x7101, 1, 2), none);
    row("unknown", normalFrame(12345, 1, 2), {am, "ActivityManager::handleMcuMsg(1, 12345, 1, 2)"});
    row("unknown, unsigned", normalFrame(0xFFFFFFFF, 0x80000000, 0xFFFFFFFE),
        {am, "ActivityManager::handleMcuMsg(1, 4294967295, 2147483648, 4294967294)"});
    row("type 0", longFrame(0, 12, hex("0000ed4e00")), none);
    row("type 4", longFrame(4, 0x3316, hex("01020304")), none);

    // Long frames from the MCU and the CAN bus.
    row("steering-key study", mcuLong(47, hex("010203040506" "1234" "ffff" "0001" "8000" "0000" "abcd" "77")),
        {"BaseControl::ReceiveKeyStudyMsgFromMcu(010203040506, 4660, 65535, 1, 32768, 0, 43981)"});
    for (int msg : {57, 64, 70, 78}) {
        const QByteArray f = mcuLong(msg, hex("fe01020304"));
        row(QStringLiteral("base data %1").arg(msg), f, {"BaseControl::RecevieMsgFromMcu(" + recordArg(f) + ")"});
    }
    const QByteArray full = mcuLong(57, QByteArray(256, '\x5a')), sim = mcuLong(83, hex("0102")),
                     mcm = mcuLong(84, hex("0304")), can = longFrame(3, 12, hex("0000ed4e00")),
                     can2 = longFrame(3, 0xFFFFFFFF, QByteArray(256, '\x11'));
    row("base data, full", full, {"BaseControl::RecevieMsgFromMcu(" + recordArg(full) + ")"});
    row("SIM", sim, {"BaseControl::RecevieSIMMsgFromMcu(" + recordArg(sim) + ")"});
    row("MCM", mcm, {"BaseControl::RecevieMCMMsgFromMcu(" + recordArg(mcm) + ")"});
    row("CAN time id", can, {am, "ActivityManager::handleCanMsg(" + recordArg(can) + ")"});
    row("CAN any id", can2, {am, "ActivityManager::handleCanMsg(" + recordArg(can2) + ")"});
    row("auto test", mcuLong(112, hex("aa05bb")), {"BaseControl::RecevieAutoTestFromMcu(5, aa05)"});

    row("MCU version", mcuLong(25, text("\x07V1.2.3\0junk")), {pc, "PlatformControl::setMcuVersion(V1.2.3)"});
    row("MCU version, empty", mcuLong(25, hex("ff00414243")), {pc, "PlatformControl::setMcuVersion()"});
    row("MCU version, UTF-8", mcuLong(25, text("\x00" "B\xc3\xa4r")), {pc, QString::fromUtf8("PlatformControl::setMcuVersion(Bär)")});
    row("MCU version, unterminated", mcuLong(25, QByteArray(1, '\0') + QByteArray(255, 'x')),
        {pc, "PlatformControl::setMcuVersion(" + QString(255, 'x') + ")"});
    row("MCU version, no platform layer", mcuLong(25, text("\x00" "V1")), {pc});
    row("MCU version, frame ends in the text", mcuLong(25, text("\x00" "ab")), {pc, "PlatformControl::setMcuVersion(ab)"});

    row("UUID", mcuLong(212, hex("ff4142eeee000004d2")), {"AppData::setUUID(AB00000000001234)"},
        {"==========>uuid: \"AB00000000001234\" len= 16"});
    row("UUID, no prefix", mcuLong(212, hex("00004200000000002a")), {"AppData::setUUID(00000000000042)"},
        {"==========>uuid: \"00000000000042\" len= 14"});
    row("UUID, one character", mcuLong(212, hex("005a00ffffffffffff")), {"AppData::setUUID(Z00004294967295)"},
        {"==========>uuid: \"Z00004294967295\" len= 15"});
    row("UUID, frame ends in the prefix", mcuLong(212, hex("0051")), {"AppData::setUUID(Q00000000000000)"},
        {"==========>uuid: \"Q00000000000000\" len= 15"});

    row("time, plausible", mcuLong(12, hex("0000ed4e00")), {"AppData::setMcuTimeSynced(true)"});

    // Dropped without a trace; the id is one signed word, so high bits do not
    // alias a known message.
    for (qint32 msg : {0, 26, 46, 48, 56, 58, 63, 79, 80, 81, 85, 111, 113, 211, 213, -1, 0x1000000c, qint32(0x80000039u)})
        row(QStringLiteral("dropped %1").arg(msg), mcuLong(msg, hex("0000ed4e0005060708")), none);
}

void TestMcuDispatch::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, debug);
    QFETCH(QByteArray, reply);

    const QByteArray tag = QTest::currentDataTag();
    HostFramework::setPlatformControlAvailable(!tag.endsWith("no platform layer"));
    const int clockCalls = m_clock.times().size();
    MessageCapture messages;
    QStringList seen;
    QByteArray printed;
    QVERIFY(dispatch(frame, &seen, &printed));
    QCOMPARE(seen, calls);
    QCOMPARE(messages.take(), debug);
    QCOMPARE(printed, printedLine(frame));
    QCOMPARE(m_clock.times().size(), clockCalls + (tag.startsWith("time") ? 1 : 0));

    // A heartbeat behind the expected reply shows that nothing else came back.
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(reply.size() + 16).toHex(), (reply + Heartbeat).toHex());
}

void TestMcuDispatch::replyBeforeNotify()
{
    // When the framework hears the value, the acknowledgement must already be
    // on its way to the MCU.
    std::atomic<int> pendingAtNotify{-1};
    const int fd = m_peer.fd();
    auto connection = connect(Journal::instance(), &Journal::recorded, this, [&] {
        if (Journal::instance()->entries().last().call == QLatin1String("ActivityManager::notifyMcuValue")) {
            char buf[16];
            pendingAtNotify = int(::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT));
        }
    }, Qt::DirectConnection);

    QStringList seen;
    QByteArray printed;
    const bool handled = dispatch(normalFrame(0x0211, 13, 42), &seen, &printed);
    disconnect(connection);
    QVERIFY(handled);
    QCOMPARE(pendingAtNotify.load(), 16);
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 186, 0).toHex());
}

void TestMcuDispatch::versionReply_data()
{
    QTest::addColumn<QString>("customer");
    QTest::addColumn<QString>("sdk");
    QTest::addColumn<bool>("platform");
    QTest::addColumn<QByteArray>("data");

    // The date version of the desktop framework is the 8-digit build date.
    const QByteArray date = BaseControl::getInstance()->getDateVersion().toLatin1();
    QCOMPARE(date.size(), 8);
    const QByteArray date13 = date + QByteArray(5, '\0');
    const QByteArray both39 = text("\x5e\x27") + QByteArray(39, 'c') + '\x27' + QByteArray(39, 's') + '\x0d' + date13;

    QTest::newRow("5, 7 and 8 characters") << "C1234" << "SDK-1.2" << true << text("\x1c\x05" "C1234" "\x07" "SDK-1.2" "\x0d") + date13;
    QTest::newRow("empty versions") << QString() << QString() << true << text("\x10\x00\x00\x0d") + date13;
    QTest::newRow("39 characters") << QString(39, 'c') << QString(39, 's') << true << both39;
    QTest::newRow("cut to 39 bytes") << QString(60, 'c') << QString(40, 's') << true << both39;
    QTest::newRow("non-ASCII counted in bytes") << QString::fromUtf8("Bär") << QString::fromUtf8("€1") << true
        << text("\x18\x04" "B\xc3\xa4r" "\x04" "\xe2\x82\xac" "1" "\x0d") + date13;
    QTest::newRow("non-ASCII cut on a character boundary") << QString(38, 'c') + QString::fromUtf8("ä") << QStringLiteral("s") << true
        << text("\x37\x26") + QByteArray(38, 'c') + '\x01' + 's' + '\x0d' + date13;
    QTest::newRow("no platform layer") << QStringLiteral("C1234") << QStringLiteral("S") << false
        << text("\x10\x00\x00\x0d") + date13;
}

void TestMcuDispatch::versionReply()
{
    QFETCH(QString, customer);
    QFETCH(QString, sdk);
    QFETCH(bool, platform);
    QFETCH(QByteArray, data);

    HostFramework::setCustomerVersion(customer);
    HostFramework::setSdkVersion(sdk);
    HostFramework::setPlatformControlAvailable(platform);

    QStringList seen;
    QByteArray printed;
    QVERIFY(dispatch(normalFrame(0x3318, 0, 0), &seen, &printed));
    QStringList calls{"PlatformControl::getInstance()", "BaseControl::getDateVersion()"};
    if (platform)
        calls = QStringList{calls.first(), "PlatformControl::getCustomerVer()", "PlatformControl::getSDKVer()", calls.last()};
    QCOMPARE(seen, calls);
    QCOMPARE(printed, QByteArray("Main app normal msg:13080, p1:0, p2:0.\n"));

    m_link->SendHeartbeattoMCU();
    const QByteArray expected = hex("02000000" "cd000000") + data + QByteArray(256 - data.size(), '\0');
    QCOMPARE(m_peer.read(264 + 16).toHex(), (expected + Heartbeat).toHex());
}

QTEST_GUILESS_MAIN(TestMcuDispatch)
#include "tst_mcudispatch.moc"
