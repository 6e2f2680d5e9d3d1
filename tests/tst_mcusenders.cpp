#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>

#include "appdata.h"
#include "hostframework.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;
using Send = std::function<void(MainAppProtocolComm *)>;
Q_DECLARE_METATYPE(Send)
#define SEND(call) Send([](MainAppProtocolComm *l) { l->call; })

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

QByteArray s_full = pattern(255);
unsigned char *const full = reinterpret_cast<unsigned char *>(s_full.data());
unsigned char three[] = {0xA1, 0xB2, 0xC3};
unsigned char bytes[256] = {1, 2, 3};

// Sent after each case: what reaches the peer before it is all that was sent.
const QByteArray Heartbeat = hex("01000000" "0c000000" "be000000" "00000000");

} // namespace

class TestMcuSenders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_link->Stop(); }
    void init();
    void frames_data();
    void frames();
    void refused_data();
    void refused();
    void sourceRecord_data();
    void sourceRecord();

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
};

void TestMcuSenders::initTestCase()
{
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
}

void TestMcuSenders::init()
{
    AppData *data = AppData::GetInstance();
    data->setCurSource(SOURCE_ID_NAVI);
    data->setLastSource(SOURCE_ID_NONE);
    data->setLastAudioSource(SOURCE_ID_NONE);
    data->setIsFirstRun(false);
    Journal::instance()->clear();
}

void TestMcuSenders::frames_data()
{
    QTest::addColumn<Send>("send");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("printed");

    auto row = [](const char *tag, const Send &send, const QByteArray &frame, const QByteArray &printed = {}) {
        QTest::newRow(tag) << send << frame << printed;
    };
    row("AppReady", SEND(AppReady()), hex("01000000" "0c000000" "11000000" "02000000"));
    row("EjectDisc", SEND(EjectDisc()), hex("01000000" "0c000000" "8c000000" "00000000"));
    row("heartbeat", SEND(SendHeartbeattoMCU()), Heartbeat);
    row("source 3 param 1", SEND(SendCurSrcToMcu(3, 1)), hex("01000000" "0c000000" "05000000" "03000100"),
        "current src id:3\n");
    row("source 65534", SEND(SendCurSrcToMcu(65534, 0)), normalFrame(12, 5, 0x0000FFFE), "current src id:65534\n");
    row("source -1", SEND(SendCurSrcToMcu(-1, 0)), normalFrame(12, 5, 0x0000FFFF), "current src id:-1\n");
    row("negative param", SEND(SendCurSrcToMcu(7, -2)), normalFrame(12, 5, 0xFFFE0007), "current src id:7\n");
    row("param high bits dropped", SEND(SendCurSrcToMcu(7, 0x12345)), normalFrame(12, 5, 0x23450007),
        "current src id:7\n");
    row("only send", SEND(onlySendCurSrcToMcu(8, 0x1234)), normalFrame(12, 5, 0x12340008), "current src id2:8\n");
    row("only send -1", SEND(onlySendCurSrcToMcu(-1, -1)), normalFrame(12, 5, 0xFFFFFFFF), "current src id2:-1\n");
    row("SendDataToMcu", SEND(SendDataToMcu(0x11223344, 0xAABBCCDD, 0x01020304)),
        hex("01000000" "44332211" "ddccbbaa" "04030201"));
    row("key study 0", SEND(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_0, 0xAB)), hex("01000000" "0c000000" "bd000000" "ab000000"));
    row("key study 1", SEND(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_1, 0xFE)), outLong(2, 201, hex("01fe")));
    row("time clock", SEND(SendTimeClockToMcu(195, 0x12345678)), hex("02000000" "c3000000" "0412345678") + QByteArray(251, '\0'));
    row("time clock ignores id", SEND(SendTimeClockToMcu(7, 0xFFFFFFFF)), outLong(2, 195, hex("04ffffffff")));
    row("key colour", SEND(SendKeyColorToMcu(0x1FF, 2, 3)), outLong(2, 19, hex("0401ff0203")));
    row("key colour low bytes", SEND(SendKeyColorToMcu(0xABCDEF80, 0x100, 0xFFFFFF7F)), outLong(2, 19, hex("040180007f")));
    row("media info 1", SEND(SendMediaPlayInfoToMcu(three, 1)), outLong(2, 196, hex("a1")));
    row("media info 255", SEND(SendMediaPlayInfoToMcu(full, 255)), outLong(2, 196, s_full));
    row("long data", SEND(SendLongDataToMcu(0x1234, three, 3)), outLong(2, 0x1234, hex("a1b2c3")));
    row("long data 255", SEND(SendLongDataToMcu(77, full, 255)), outLong(2, 77, s_full));
    row("CAN", SEND(SendLongDataToCAN(0x55, three, 3)), hex("03000000" "55000000" "a1b2c3") + QByteArray(253, '\0'));
    row("CAN 255", SEND(SendLongDataToCAN(0xDEADBEEF, full, 255)), outLong(3, 0xDEADBEEF, s_full));
}

void TestMcuSenders::frames()
{
    QFETCH(Send, send);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, printed);

    {
        StdoutCapture out;
        send(m_link);
        QCOMPARE(out.text(), printed);
    }
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(expected.size() + 16).toHex(), (expected + Heartbeat).toHex());
}

void TestMcuSenders::refused_data()
{
    QTest::addColumn<Send>("send");

    QTest::newRow("source 65535") << SEND(SendCurSrcToMcu(65535, 0));
    QTest::newRow("source INT_MAX") << SEND(SendCurSrcToMcu(INT_MAX, 1));
    QTest::newRow("only send 65535") << SEND(onlySendCurSrcToMcu(65535, 0));
    QTest::newRow("key study 2") << SEND(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(2), 5));
    QTest::newRow("key study -1") << SEND(SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(-1), 5));
    QTest::newRow("media info 256") << SEND(SendMediaPlayInfoToMcu(bytes, 256));
    QTest::newRow("media info 0") << SEND(SendMediaPlayInfoToMcu(bytes, 0));
    QTest::newRow("media info -1") << SEND(SendMediaPlayInfoToMcu(bytes, -1));
    QTest::newRow("media info null") << SEND(SendMediaPlayInfoToMcu(nullptr, 3));
    QTest::newRow("long data 256") << SEND(SendLongDataToMcu(9, bytes, 256));
    QTest::newRow("long data 0") << SEND(SendLongDataToMcu(9, bytes, 0));
    QTest::newRow("long data null") << SEND(SendLongDataToMcu(9, nullptr, 1));
    QTest::newRow("CAN 256") << SEND(SendLongDataToCAN(9, bytes, 256));
    QTest::newRow("CAN -1") << SEND(SendLongDataToCAN(9, bytes, -1));
    QTest::newRow("CAN null") << SEND(SendLongDataToCAN(9, nullptr, 1));
}

void TestMcuSenders::refused()
{
    QFETCH(Send, send);
    {
        StdoutCapture out;
        send(m_link);
        QCOMPARE(out.text(), QByteArray());
    }
    QCOMPARE(journalLines(), QStringList());
    QCOMPARE(AppData::GetInstance()->curSource(), int(SOURCE_ID_NAVI));
    QCOMPARE(AppData::GetInstance()->lastSource(), int(SOURCE_ID_NONE));
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(16).toHex(), Heartbeat.toHex());
}

void TestMcuSenders::sourceRecord_data()
{
    QTest::addColumn<int>("audioBefore");
    QTest::addColumn<int>("source");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<int>("lastAudioAfter");

    // Before each case: current source navigation, last audio source none.
    const QStringList head{"AppData::curSource()", "AppData::setLastSource(7)"};
    QTest::newRow("not audio") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_PHONE)
        << head + QStringList{"AppData::setCurSource(8)", "AppData::isAudioSource(8)"} << int(SOURCE_ID_NONE);
    QTest::newRow("audio, not direct") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_AUX)
        << head + QStringList{"AppData::setCurSource(5)", "AppData::isAudioSource(5)", "AppData::setIsFirstRun(true)",
                              "AppData::isDirectSwitchAudioSrc(5)"}
        << int(SOURCE_ID_NONE);
    QTest::newRow("direct switch") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_USB_MUSIC)
        << head + QStringList{"AppData::setCurSource(3)", "AppData::isAudioSource(3)", "AppData::setIsFirstRun(true)",
                              "AppData::isDirectSwitchAudioSrc(3)", "AppData::curAudioSource()",
                              "BaseControl::changeMediaSrcSlot(1, 3)", "AppData::curAudioSource()",
                              "AppData::curAudioSource()", "AppData::setLastAudioSource(1)",
                              "AppData::setCurAudioSource(3)"}
        << int(SOURCE_ID_RADIO);
    QTest::newRow("direct switch to same") << int(SOURCE_ID_DISC) << int(SOURCE_ID_DISC)
        << head + QStringList{"AppData::setCurSource(2)", "AppData::isAudioSource(2)", "AppData::setIsFirstRun(true)",
                              "AppData::isDirectSwitchAudioSrc(2)", "AppData::curAudioSource()",
                              "BaseControl::changeMediaSrcSlot(2, 2)", "AppData::curAudioSource()",
                              "AppData::setCurAudioSource(2)"}
        << int(SOURCE_ID_NONE);
}

void TestMcuSenders::sourceRecord()
{
    QFETCH(int, audioBefore);
    QFETCH(int, source);
    QFETCH(QStringList, calls);
    QFETCH(int, lastAudioAfter);

    AppData *data = AppData::GetInstance();
    data->setCurAudioSource(audioBefore);
    const int mark = journalMark();
    m_link->SendCurSrcToMcu(source, 9);

    QCOMPARE(journalLines(mark), calls);
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 5, 0x90000u | quint32(source)).toHex());
    QCOMPARE(data->curSource(), source);
    QCOMPARE(data->lastSource(), int(SOURCE_ID_NAVI));
    QCOMPARE(data->lastAudioSource(), lastAudioAfter);
    const bool isAudio = calls.contains("AppData::setIsFirstRun(true)");
    QCOMPARE(data->isFirstRun(), isAudio);
    QCOMPARE(data->curAudioSource(), calls.last().startsWith("AppData::setCurAudioSource") ? source : audioBefore);
}

QTEST_GUILESS_MAIN(TestMcuSenders)
#include "tst_mcusenders.moc"
