#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <sys/socket.h>

#include "appdata.h"
#include "basecontrol.h"
#include "clockrecorder.h"
#include "framecodec.h"
#include "hostframework.h"
#include "launcherconfig.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "messagecapture.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;
using Call = std::function<void(MainAppProtocolComm *)>;
Q_DECLARE_METATYPE(Call)
#define CALL(call) Call([](MainAppProtocolComm *l) { l->call; })

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }
QByteArray normal(quint32 msg, quint32 p1, quint32 p2) { return FrameCodec::normalFrame(msg, p1, p2); }
QByteArray mcu(quint32 msg, const QByteArray &data) { return FrameCodec::longFrame(2, msg, data); }
// A long frame as the launcher sends it: 8-byte header, data, always 264 bytes.
QByteArray sent(const char *header, const QByteArray &data) { return (hex(header) + data).leftJustified(264, '\0'); }
// A long frame as the framework is handed it: always 268 bytes, in hex.
QString record(const QByteArray &frame) { return QString::fromLatin1(frame.leftJustified(268, '\0').toHex()); }
template<int N>
QByteArray text(const char (&s)[N]) { return QByteArray(s, N - 1); }

QByteArray printedLine(const QByteArray &frame)
{
    const quint32 *w = reinterpret_cast<const quint32 *>(frame.constData());
    return w[0] != 1 ? QByteArray() : QString::asprintf("Main app normal msg:%u, p1:%u, p2:%u.\n", w[1], w[2], w[3]).toLatin1();
}

// Sent behind every inbound case: once the framework has seen it, every frame
// before it has been handled.
const QByteArray Marker = normal(0x3316, 0xFEED, 0);
const QString MarkerCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal(65261, 0)");
// Sent behind every case: what reaches the peer before it is all that was sent.
const QByteArray Heartbeat = hex("01000000" "0c000000" "be000000" "00000000");
// Framework calls that do something; getters and singleton look-ups are not outcomes.
const QRegularExpression Effect(QStringLiteral("^\\w+::(?!get|Get|self|cur|is[A-Z])"));

} // namespace

class TestMcuMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_link->Stop(); }
    void init();
    void wire_data();
    void wire();
    void versionUtf8WhateverTheLocale();

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
    std::atomic<int> m_pendingAtNotify{-1};
};

void TestMcuMessages::initTestCase()
{
    // A frame routed to a time handler by mistake must not move the machine's clock.
    SystemClock::setInstance(&m_clock);
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
    // What is already on its way to the MCU when the framework hears a value.
    connect(Journal::instance(), &Journal::recorded, this, [this] {
        char buf[16];
        if (Journal::instance()->entries().constLast().call == QLatin1String("ActivityManager::notifyMcuValue"))
            m_pendingAtNotify = int(::recv(m_peer.fd(), buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT));
    }, Qt::DirectConnection);
}

void TestMcuMessages::init()
{
    HostFramework::setPlatformControlAvailable(true);
    AppData::GetInstance()->setCurSource(SOURCE_ID_NAVI);
    AppData::GetInstance()->setCurAudioSource(SOURCE_ID_RADIO);
    Journal::instance()->clear();
}

void TestMcuMessages::wire_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("effects");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<QByteArray>("wire");

    // Outbound: a sender called, the frame it sends, what it prints and does.
    auto out = [](const char *tag, const Call &call, const QByteArray &wire, const QByteArray &printed = {},
                  const QStringList &effects = {}) { QTest::newRow(tag) << call << QByteArray() << effects << printed << wire; };
    // Inbound: a frame from the MCU after an optional set-up, the debug lines
    // and framework calls it causes, the launcher's reply.
    auto in = [](const QString &tag, const QByteArray &frame, const QStringList &effects, const QByteArray &reply = {},
                 const Call &setup = {}) { QTest::newRow(qPrintable(tag)) << setup << frame << effects << QByteArray() << reply; };

    out("AppReady", CALL(AppReady()), hex("01000000" "0c000000" "11000000" "02000000"));
    out("EjectDisc", CALL(EjectDisc()), hex("01000000" "0c000000" "8c000000" "00000000"));
    out("SendDataToMcu", CALL(SendDataToMcu(0x11223344, 0xAABBCCDD, 0x01020304)), hex("01000000" "44332211" "ddccbbaa" "04030201"));
    // Before each case the current source is navigation (7), the audio source radio (1).
    const QString from7 = QStringLiteral("AppData::setLastSource(7)");
    out("direct-switch source", CALL(SendCurSrcToMcu(3, 1)), hex("01000000" "0c000000" "05000000" "03000100"), "current src id:3\n",
        {from7, "AppData::setCurSource(3)", "AppData::setIsFirstRun(true)", "BaseControl::changeMediaSrcSlot(1, 3)",
         "AppData::setLastAudioSource(1)", "AppData::setCurAudioSource(3)"});
    out("direct switch to the same", CALL(SendCurSrcToMcu(1, 0)), normal(12, 5, 1), "current src id:1\n",
        {from7, "AppData::setCurSource(1)", "AppData::setIsFirstRun(true)", "BaseControl::changeMediaSrcSlot(1, 1)",
         "AppData::setCurAudioSource(1)"});
    out("audio, not direct", CALL(SendCurSrcToMcu(5, 0)), normal(12, 5, 5), "current src id:5\n",
        {from7, "AppData::setCurSource(5)", "AppData::setIsFirstRun(true)"});
    out("not audio", CALL(SendCurSrcToMcu(8, 0)), normal(12, 5, 8), "current src id:8\n", {from7, "AppData::setCurSource(8)"});
    out("source 65534", CALL(SendCurSrcToMcu(65534, 0)), normal(12, 5, 0xFFFE), "current src id:65534\n",
        {from7, "AppData::setCurSource(65534)"});
    out("source -1, negative param", CALL(SendCurSrcToMcu(-1, -2)), normal(12, 5, 0xFFFEFFFF), "current src id:-1\n",
        {from7, "AppData::setCurSource(-1)"});
    out("only send, param high bits", CALL(onlySendCurSrcToMcu(7, 0x12345)), normal(12, 5, 0x23450007), "current src id2:7\n");
    out("source 65535", Call([](MainAppProtocolComm *l) {
        l->SendCurSrcToMcu(65535, 0);
        l->onlySendCurSrcToMcu(65535, 0);
    }), {});
    out("key study 0", CALL(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_0, 0xAB)), hex("01000000" "0c000000" "bd000000" "ab000000"));
    out("key study 1", CALL(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_1, 0xFE)), sent("02000000" "c9000000", hex("01fe")));
    out("key study 2", CALL(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(2), 5)), {});
    out("time clock", CALL(SendTimeClockToMcu(7, 0x12345678)), sent("02000000" "c3000000", hex("0412345678")));
    out("key colour", CALL(SendKeyColorToMcu(0x1FF, 0x102, 0xFFFFFF03)), sent("02000000" "13000000", hex("0401ff0203")));
    static QByteArray full = QByteArray(255, '\x5a');
    static unsigned char three[] = {0xA1, 0xB2, 0xC3};
    out("media info 255", CALL(SendMediaPlayInfoToMcu(reinterpret_cast<uchar *>(full.data()), 255)), sent("02000000" "c4000000", full));
    out("long data", CALL(SendLongDataToMcu(0x1234, three, 3)), sent("02000000" "34120000", hex("a1b2c3")));
    out("CAN", CALL(SendLongDataToCAN(0x55, three, 2)), sent("03000000" "55000000", hex("a1b2")));
    out("caller bytes refused", Call([](MainAppProtocolComm *l) {
        using Case = std::pair<unsigned char *, int>;
        for (const auto &[bytes, len] : {Case(three, 0), Case(three, -1), Case(three, 256), Case(nullptr, 1)}) {
            l->SendMediaPlayInfoToMcu(bytes, len);
            l->SendLongDataToMcu(9, bytes, len);
            l->SendLongDataToCAN(9, bytes, len);
        }
    }), {});

    in("notify value", normal(0x0211, 13, 7), {"ActivityManager::notifyMcuValue(7)"}, normal(12, 186, 0));
    in("eject", normal(0x0211, 47, 3), {"BaseControl::ejectSlot()"});
    in("other command", normal(0x0211, 5, 1), {});
    in("MCU type", normal(0x3358, 0xFFFF8001, 0xFFFF),
       {"==========>MSG_M2A_MCU_TYPE: 4294934529 tuner type:  65535", "AppData::setMcuType(-32767)", "AppData::setTunerType(-1)"});
    in("discard", normal(0x7101, 1, 2), {});
    in("unknown, unsigned", normal(0xFFFFFFFF, 0x80000000, 2), {"ActivityManager::handleMcuMsg(1, 4294967295, 2147483648, 2)"});
    for (quint32 type : {0, 4})
        in(QStringLiteral("type %1").arg(type), FrameCodec::longFrame(type, 12, hex("0000ed4e00")), {});

    in("steering-key study", mcu(47, hex("010203040506" "1234" "ffff" "0001" "8000" "0000" "abcd" "77")),
       {"BaseControl::ReceiveKeyStudyMsgFromMcu(010203040506, 4660, 65535, 1, 32768, 0, 43981)"});
    for (const QByteArray &f : {mcu(57, QByteArray(256, '\x5a')), mcu(64, hex("fe01")), mcu(78, hex("fe01"))})
        in(QStringLiteral("base data %1").arg(int(f.at(4))), f, {"BaseControl::RecevieMsgFromMcu(" + record(f) + ")"});
    const QByteArray sim = mcu(83, hex("0102")), mcm = mcu(84, hex("0304")), can = FrameCodec::longFrame(3, 12, hex("0000ed4e00"));
    in("SIM", sim, {"BaseControl::RecevieSIMMsgFromMcu(" + record(sim) + ")"});
    in("MCM", mcm, {"BaseControl::RecevieMCMMsgFromMcu(" + record(mcm) + ")"});
    in("CAN, the time's id", can, {"ActivityManager::handleCanMsg(" + record(can) + ")"});
    in("auto test", mcu(112, hex("aa05bb")), {"BaseControl::RecevieAutoTestFromMcu(5, aa05)"});

    in("MCU version", mcu(25, text("\x07" "B\xc3\xa4r\0junk")), {QString::fromUtf8("PlatformControl::setMcuVersion(Bär)")});
    in("MCU version, empty", mcu(25, hex("ff00414243")), {"PlatformControl::setMcuVersion()"});
    in("MCU version, unterminated", mcu(25, QByteArray(1, '\0') + QByteArray(255, 'x')),
       {"PlatformControl::setMcuVersion(" + QString(255, 'x') + ")"});
    in("MCU version, no platform layer", mcu(25, text("\x00" "V1")), {}, {},
       [](MainAppProtocolComm *) { HostFramework::setPlatformControlAvailable(false); });
    in("UUID", mcu(212, hex("ff4142eeee000004d2")),
       {"==========>uuid: \"AB00000000001234\" len= 16", "AppData::setUUID(AB00000000001234)"});
    in("UUID, no prefix", mcu(212, hex("00004200000000002a")),
       {"==========>uuid: \"00000000000042\" len= 14", "AppData::setUUID(00000000000042)"});
    in("UUID, one character", mcu(212, hex("005a00ffffffffffff")),
       {"==========>uuid: \"Z00004294967295\" len= 15", "AppData::setUUID(Z00004294967295)"});
    // Dropped without a trace; the id is one signed word, so high bits do not
    // alias a known message.
    for (qint32 msg : {26, 46, 48, 56, 58, 63, 79, 81, 85, 111, 113, 211, 213, 0x1000000c, qint32(0x80000039u)})
        in(QStringLiteral("dropped %1").arg(msg), mcu(quint32(msg), hex("0000ed4e0005060708")), {});

    // The version reply; the desktop framework's date version is the 8-digit build date.
    const QByteArray date = BaseControl::getInstance()->getDateVersion().toLatin1() + QByteArray(5, '\0');
    auto version = [&](const char *tag, const QString &customer, const QString &sdk, const QByteArray &data, bool platform = true) {
        in(tag, normal(0x3318, 0, 0), {}, sent("02000000" "cd000000", data + date), [=](MainAppProtocolComm *) {
            HostFramework::setCustomerVersion(customer);
            HostFramework::setSdkVersion(sdk);
            HostFramework::setPlatformControlAvailable(platform);
        });
    };
    version("5, 7 and 8 characters", "C1234", "SDK-1.2", text("\x1c\x05" "C1234" "\x07" "SDK-1.2" "\x0d"));
    version("empty versions", {}, {}, text("\x10\x00\x00\x0d"));
    version("cut to 39 bytes", QString(60, 'c'), QString(40, 's'),
            text("\x5e\x27") + QByteArray(39, 'c') + '\x27' + QByteArray(39, 's') + '\x0d');
    version("non-ASCII counted in bytes", QString::fromUtf8("Bär"), QString::fromUtf8("€1"),
            text("\x18\x04" "B\xc3\xa4r" "\x04" "\xe2\x82\xac" "1" "\x0d"));
    version("cut on a character boundary", QString(37, 'c') + QString::fromUtf8("€"), "s",
            text("\x36\x25") + QByteArray(37, 'c') + text("\x01" "s" "\x0d"));
    version("no platform layer", "C1234", "S", text("\x10\x00\x00\x0d"), false);
}

void TestMcuMessages::wire()
{
    QFETCH(Call, call);
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, effects);
    QFETCH(QByteArray, printed);
    QFETCH(QByteArray, wire);

    m_pendingAtNotify = -1;
    MessageCapture messages;
    {
        StdoutCapture out;
        if (call)
            call(m_link);
        if (!frame.isEmpty()) {
            QVERIFY(m_peer.write(frame + Marker));
            QTRY_VERIFY(journalLines().contains(MarkerCall));
            effects << MarkerCall;
            printed += printedLine(frame) + printedLine(Marker);
        }
        QCOMPARE(out.text(), printed);
    }
    QCOMPARE(messages.take() + journalLines().filter(Effect), effects);
    // The MCU wants its acknowledgement before the framework hears the value.
    if (effects.value(0).startsWith("ActivityManager::notifyMcuValue"))
        QCOMPARE(m_pendingAtNotify.load(), 16);

    // A heartbeat behind the expected frame shows that nothing else went out.
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(wire.size() + 16).toHex(), (wire + Heartbeat).toHex());
}

void TestMcuMessages::versionUtf8WhateverTheLocale()
{
    // The real launcher, preloaded as on a unit with a Latin-1 locale and a
    // non-ASCII customer version, on the build's socket names.
    McuPeer mcuService(QByteArrayLiteral(LAUNCHER_MCU_SOCKET));
    QVERIFY(mcuService.listen());
    QProcess launcher;
    launcher.start(QStringLiteral(LAUNCHER_PATH), QStringList());
    QVERIFY(mcuService.accept(20000));
    QCOMPARE(mcuService.read(16, 20000).toHex(), normal(12, 17, 2).toHex());
    QVERIFY(mcuService.write(normal(0x3318, 0, 0)));
    const QByteArray reply = mcuService.read(264, 20000);
    launcher.kill();
    launcher.waitForFinished();
    QCOMPARE(reply.left(14).toHex(), QByteArray("02000000" "cd000000" "22" "04" "42c3a472"));
}

QTEST_GUILESS_MAIN(TestMcuMessages)
#include "tst_mcumessages.moc"
