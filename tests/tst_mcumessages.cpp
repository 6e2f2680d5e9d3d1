#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <sys/socket.h>

#include "appdata.h"
#include "basecontrol.h"
#include "clockrecorder.h"
#include "framecodec.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "messagecapture.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;
using Link = MainAppProtocolComm;
using Call = std::function<void(Link *)>;
Q_DECLARE_METATYPE(Call)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
QByteArray normal(quint32 msg, quint32 p1, quint32 p2)
{
    return FrameCodec::normalFrame(msg, p1, p2);
}
QByteArray mcu(quint32 msg, const QByteArray &data)
{
    return FrameCodec::longFrame(2, msg, data);
}
// A long frame as the launcher sends it: 8-byte header, data, always 264 bytes.
QByteArray sent(const char *header, const QByteArray &data)
{
    return (hex(header) + data).leftJustified(264, '\0');
}
// A long frame as the framework is handed it: always 268 bytes, in hex.
QString record(const QByteArray &frame)
{
    return QString::fromLatin1(frame.leftJustified(268, '\0').toHex());
}

// Sent behind every inbound case: once the framework has seen it, every frame
// before it has been handled.
const QByteArray Marker = normal(0x3316, 0xFEED, 0);
const QString MarkerCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal(65261, 0)");
// Sent behind every case: what reaches the peer before it is all that was sent.
const QByteArray Heartbeat = hex("01000000"
                                 "0c000000"
                                 "be000000"
                                 "00000000");
// Framework calls that do something; getters and singleton look-ups are not outcomes.
const QRegularExpression Effect(QStringLiteral("^\\w+::(?!get|Get|self|cur|is[A-Z])"));

} // namespace

class TestMcuMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_link->Stop(); }
    void outbound_data();
    void outbound();
    void inbound_data();
    void inbound();

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
    QAtomicInt m_pendingAtNotify {-1};

    // Calls the sender or writes the frame, then checks what the MCU got, what
    // was printed and what the framework was told.
    void exchange(const Call &call, const QByteArray &frame, QStringList effects,
                  QByteArray printed, const QByteArray &wire);
};

void TestMcuMessages::initTestCase()
{
    // A frame routed to a time handler by mistake must not move the machine's clock.
    SystemClock::setInstance(&m_clock);
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
    // What is already on its way to the MCU when the framework hears a value.
    connect(
        Journal::instance(), &Journal::recorded, this,
        [this] {
            char buf[16];
            if (Journal::instance()->entries().constLast().call
                == QLatin1String(JournalCall::notifyMcuValue))
                m_pendingAtNotify = int(
                    ::recv(m_peer.fd(), buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT));
        },
        Qt::DirectConnection);
}

void TestMcuMessages::outbound_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<QStringList>("effects");

    // A sender called, the frame it sends, what it prints and does.
    auto out = [](const char *tag, const Call &call, const QByteArray &wire,
                  const QByteArray &printed = {}, const QStringList &effects = {}) {
        QTest::newRow(tag) << call << wire << printed << effects;
    };

    out(
        "AppReady", [](Link *l) { l->AppReady(); },
        hex("01000000"
            "0c000000"
            "11000000"
            "02000000"));
    out(
        "EjectDisc", [](Link *l) { l->EjectDisc(); },
        hex("01000000"
            "0c000000"
            "8c000000"
            "00000000"));
    out(
        "SendDataToMcu", [](Link *l) { l->SendDataToMcu(0x11223344, 0xAABBCCDD, 0x01020304); },
        hex("01000000"
            "44332211"
            "ddccbbaa"
            "04030201"));
    // Before each case the current source is navigation (7), the audio source
    // radio (1); the effects are AppData's unless named.
    out("direct-switch source", [](Link *l) { l->SendCurSrcToMcu(3, 1); },
        hex("01000000"
            "0c000000"
            "05000000"
            "03000100"),
        "current src id:3\n",
        {"setLastSource(7)", "setCurSource(3)", "setIsFirstRun(true)",
         "BaseControl::changeMediaSrcSlot(1, 3)", "setLastAudioSource(1)", "setCurAudioSource(3)"});
    out("direct switch to the same", [](Link *l) { l->SendCurSrcToMcu(1, 0); }, normal(12, 5, 1),
        "current src id:1\n",
        {"setLastSource(7)", "setCurSource(1)", "setIsFirstRun(true)",
         "BaseControl::changeMediaSrcSlot(1, 1)", "setCurAudioSource(1)"});
    out("audio, not direct", [](Link *l) { l->SendCurSrcToMcu(5, 0); }, normal(12, 5, 5),
        "current src id:5\n", {"setLastSource(7)", "setCurSource(5)", "setIsFirstRun(true)"});
    out("source 65534, negative param", [](Link *l) { l->SendCurSrcToMcu(65534, -2); },
        normal(12, 5, 0xFFFEFFFE), "current src id:65534\n",
        {"setLastSource(7)", "setCurSource(65534)"});
    out(
        "only send -1, param high bits", [](Link *l) { l->onlySendCurSrcToMcu(-1, 0x12345); },
        normal(12, 5, 0x2345FFFF), "current src id2:-1\n");
    out("source 65535", [](Link *l) { l->SendCurSrcToMcu(65535, 0); }, {});
    out(
        "only send 65534", [](Link *l) { l->onlySendCurSrcToMcu(65534, 0); },
        normal(12, 5, 0x0000FFFE), "current src id2:65534\n");
    out("only send 65535", [](Link *l) { l->onlySendCurSrcToMcu(65535, 0); }, {});
    out(
        "key study 0", [](Link *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_0, 0xAB); },
        hex("01000000"
            "0c000000"
            "bd000000"
            "ab000000"));
    out(
        "key study 1", [](Link *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_1, 0xFE); },
        sent("02000000"
             "c9000000",
             hex("01fe")));
    out(
        "key study 2", [](Link *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(2), 5); },
        QByteArray());
    out(
        "time clock", [](Link *l) { l->SendTimeClockToMcu(7, 0x12345678); },
        sent("02000000"
             "c3000000",
             hex("0412345678")));
    out(
        "key colour", [](Link *l) { l->SendKeyColorToMcu(0x1FF, 0x102, 0xFFFFFF03); },
        sent("02000000"
             "13000000",
             hex("0401ff0203")));
    static QByteArray full = QByteArray(255, '\x5a');
    static unsigned char three[] = {0xA1, 0xB2, 0xC3};
    out(
        "media info 255",
        [](Link *l) { l->SendMediaPlayInfoToMcu(reinterpret_cast<uchar *>(full.data()), 255); },
        sent("02000000"
             "c4000000",
             full));
    out(
        "long data", [](Link *l) { l->SendLongDataToMcu(0x1234, three, 3); },
        sent("02000000"
             "34120000",
             hex("a1b2c3")));
    out(
        "CAN", [](Link *l) { l->SendLongDataToCAN(0x55, three, 2); },
        sent("03000000"
             "55000000",
             hex("a1b2")));
    out(
        "long data 1", [](Link *l) { l->SendLongDataToMcu(0x1234, three, 1); },
        sent("02000000"
             "34120000",
             hex("a1")));
    out("media info 256", [](Link *l) { l->SendMediaPlayInfoToMcu(three, 256); }, {});
    out("long data 0", [](Link *l) { l->SendLongDataToMcu(9, three, 0); }, {});
    out("CAN -1", [](Link *l) { l->SendLongDataToCAN(9, three, -1); }, {});
    out("CAN null", [](Link *l) { l->SendLongDataToCAN(9, nullptr, 1); }, {});
}

void TestMcuMessages::outbound()
{
    QFETCH(Call, call);
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, printed);
    QFETCH(QStringList, effects);
    exchange(call, QByteArray(), effects, printed, wire);
}

void TestMcuMessages::inbound_data()
{
    QTest::addColumn<Call>("setup");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("effects");
    QTest::addColumn<QByteArray>("reply");

    // A frame from the MCU after an optional set-up, the debug lines and
    // framework calls it causes, the launcher's reply.
    auto in = [](const QString &tag, const QByteArray &frame, const QStringList &effects,
                 const QByteArray &reply = {}, const Call &setup = {}) {
        QTest::newRow(qPrintable(tag)) << setup << frame << effects << reply;
    };
    const Call noPlatform = [](MainAppProtocolComm *) {
        HostFramework::setPlatformControlAvailable(false);
    };
    in("notify value", normal(0x0211, 13, 7), {"ActivityManager::notifyMcuValue(7)"},
       normal(12, 186, 0));
    in("eject", normal(0x0211, 47, 3), {"BaseControl::ejectSlot()"});
    in("other command", normal(0x0211, 5, 1), {});
    in("MCU type", normal(0x3358, 0xFFFF8001, 0xFFFF),
       {"==========>MSG_M2A_MCU_TYPE: 4294934529 tuner type:  65535", "setMcuType(-32767)",
        "setTunerType(-1)"});
    in("discard", normal(0x7101, 1, 2), {});
    in("unknown, unsigned", normal(0xFFFFFFFF, 0x80000000, 2),
       {"ActivityManager::handleMcuMsg(1, 4294967295, 2147483648, 2)"});
    in("types 0 and 4",
       FrameCodec::longFrame(0, 12, hex("0000ed4e00"))
           + FrameCodec::longFrame(4, 12, hex("0000ed4e00")),
       {});

    in("steering-key study",
       mcu(47,
           hex("010203040506"
               "1234"
               "ffff"
               "0001"
               "8000"
               "0000"
               "abcd"
               "77")),
       {"BaseControl::ReceiveKeyStudyMsgFromMcu(010203040506, 4660, 65535, 1, 32768, 0, 43981)"});
    for (const QByteArray &f :
         {mcu(57, QByteArray(256, '\x5a')), mcu(64, hex("fe01")), mcu(78, hex("fe01"))})
        in(QStringLiteral("base data %1").arg(int(f.at(4))), f,
           {"BaseControl::RecevieMsgFromMcu(" + record(f) + ")"});
    const QByteArray sim = mcu(83, hex("0102")), mcm = mcu(84, hex("0304")),
                     can = FrameCodec::longFrame(3, 12, hex("0000ed4e00"));
    in("SIM", sim, {"BaseControl::RecevieSIMMsgFromMcu(" + record(sim) + ")"});
    in("MCM", mcm, {"BaseControl::RecevieMCMMsgFromMcu(" + record(mcm) + ")"});
    in("CAN, the time's id", can, {"ActivityManager::handleCanMsg(" + record(can) + ")"});
    in("auto test", mcu(112, hex("aa05bb")), {"BaseControl::RecevieAutoTestFromMcu(5, aa05)"});

    in("MCU version",
       mcu(25,
           hex("07"
               "42c3a472"
               "00"
               "6a756e6b")),
       {QString::fromUtf8("PlatformControl::setMcuVersion(Bär)")});
    in("MCU version, empty", mcu(25, hex("ff00414243")), {"PlatformControl::setMcuVersion()"});
    in("MCU version, unterminated", mcu(25, QByteArray(1, '\0') + QByteArray(255, 'x')),
       {"PlatformControl::setMcuVersion(" + QString(255, 'x') + ")"});
    in("MCU version, no platform layer", mcu(25, hex("005631")), {}, {}, noPlatform);
    in("UUID", mcu(212, hex("ff4142eeee000004d2")),
       {"==========>uuid: \"AB00000000001234\" len= 16", "setUUID(AB00000000001234)"});
    in("UUID, one character", mcu(212, hex("005a00ffffffffffff")),
       {"==========>uuid: \"Z00004294967295\" len= 15", "setUUID(Z00004294967295)"});
    // Dropped without a trace; the id is one signed word, so high bits do not
    // alias a known message.
    for (qint32 msg :
         {26, 46, 48, 56, 58, 63, 79, 81, 85, 111, 113, 211, 213, 0x1000000c, qint32(0x80000039u)})
        in(QStringLiteral("dropped %1").arg(msg), mcu(quint32(msg), hex("0000ed4e0005060708")), {});

    // The version reply; the desktop framework's date version is the 8-digit build date.
    const QByteArray date = BaseControl::getInstance()->getDateVersion().toLatin1()
        + QByteArray(5, '\0');
    auto version = [&](const char *tag, const QString &customer, const QString &sdk,
                       const QByteArray &data, const QString &dateVersion = QString()) {
        in(tag, normal(0x3318, 0, 0), {},
           sent("02000000"
                "cd000000",
                data),
           [=](MainAppProtocolComm *) {
               HostFramework::setCustomerVersion(customer);
               HostFramework::setSdkVersion(sdk);
               if (!dateVersion.isNull())
                   HostFramework::setDateVersion(dateVersion);
           });
    };
    version("5, 7 and 8 characters", "C1234", "SDK-1.2",
            hex("1c05") + "C1234" + hex("07") + "SDK-1.2" + hex("0d") + date);
    // Counts in bytes; cut at 39, but never inside a character.
    version("cut to 39 bytes", QString(37, 'c') + QString::fromUtf8("€"), QString(40, 's'),
            hex("5c25") + QByteArray(37, 'c') + hex("27") + QByteArray(39, 's') + hex("0d") + date);
    // The date's field is 13 bytes: a character that does not fit is left out whole.
    version("date cut to 13 bytes", "C", "S",
            hex("1201") + "C" + hex("01") + "S" + hex("0d") + "202612071530" + QByteArray(1, '\0'),
            QString::fromUtf8("202612071530€"));
    in("version, no platform layer", normal(0x3318, 0, 0), {},
       sent("02000000"
            "cd000000",
            hex("1000000d") + date),
       noPlatform);
}

void TestMcuMessages::inbound()
{
    QFETCH(Call, setup);
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, effects);
    QFETCH(QByteArray, reply);
    exchange(setup, frame, effects, QByteArray(), reply);
}

void TestMcuMessages::exchange(const Call &call, const QByteArray &frame, QStringList effects,
                               QByteArray printed, const QByteArray &wire)
{
    HostFramework::setPlatformControlAvailable(true);
    HostFramework::setDateVersion(QString());
    AppData::GetInstance()->setCurSource(SOURCE_ID_NAVI);
    AppData::GetInstance()->setCurAudioSource(SOURCE_ID_RADIO);
    Journal::instance()->clear();
    MessageCapture messages;
    StdoutCapture out;
    if (call)
        call(m_link);
    if (!frame.isEmpty()) {
        QVERIFY(m_peer.write(frame + Marker));
        QTRY_VERIFY(journalLines().contains(MarkerCall));
        effects << MarkerCall;
        const quint32 *w = reinterpret_cast<const quint32 *>(frame.constData());
        if (w[0] == 1) {
            const QString line = QString::asprintf("Main app normal msg:%u, p1:%u, p2:%u.\n", w[1],
                                                   w[2], w[3]);
            printed += line.toLatin1();
        }
        printed += "Main app normal msg:13078, p1:65261, p2:0.\n";
    }
    // A heartbeat behind the expected frame shows that nothing else went out.
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(wire.size() + 16).toHex(), (wire + Heartbeat).toHex());
    QCOMPARE(out.text(), printed);
    QCOMPARE(
        messages.take()
            + journalLines().filter(Effect).replaceInStrings(QRegularExpression("^AppData::"), ""),
        effects);
    // The MCU wants its acknowledgement before the framework hears the value.
    QCOMPARE(m_pendingAtNotify.fetchAndStoreOrdered(-1),
             effects.value(0).startsWith(JournalCall::notifyMcuValue) ? 16 : -1);
}

QTEST_GUILESS_MAIN(TestMcuMessages)
#include "tst_mcumessages.moc"
