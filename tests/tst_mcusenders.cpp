#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>

#include "appdata.h"
#include "hostframework.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;
using Send = std::function<void(MainAppProtocolComm *)>;
Q_DECLARE_METATYPE(Send)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// An outbound long frame: always 264 bytes, zero past the given data.
QByteArray outLong(quint32 type, quint32 msg, const QByteArray &data)
{
    QByteArray f = normalFrame(msg, 0, 0, type).left(8) + data;
    return f + QByteArray(264 - f.size(), '\0');
}

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char(i + 1);
    return b;
}

// Frames below are compared with what reaches the peer; a heartbeat sent
// after each case proves that nothing else was sent in between.
const QByteArray Heartbeat = hex("01000000" "0c000000" "be000000" "00000000");

QStringList journalLines()
{
    QStringList lines;
    for (const Journal::Entry &e : Journal::instance()->entries()) {
        QStringList args;
        for (const QVariant &a : e.args)
            args << a.toString();
        lines << e.call + QLatin1Char('(') + args.join(QLatin1String(", ")) + QLatin1Char(')');
    }
    return lines;
}

} // namespace

class TestMcuSenders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void frames_data();
    void frames();
    void refused_data();
    void refused();
    void printedLines_data();
    void printedLines();
    void sourceRecord_data();
    void sourceRecord();

private:
    void expectNothingMore();

    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
};

void TestMcuSenders::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_peer.listen());
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_dir.filePath(QStringLiteral("link"))).constData(),
                                        m_peer.name().constData());
    m_link = MainAppProtocolComm::GetInstance();
    m_link->Start();
    QVERIFY(m_peer.accept());
}

void TestMcuSenders::cleanupTestCase()
{
    if (m_link)
        m_link->Stop();
}

void TestMcuSenders::expectNothingMore()
{
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(Heartbeat.size()).toHex(), Heartbeat.toHex());
}

void TestMcuSenders::frames_data()
{
    QTest::addColumn<Send>("send");
    QTest::addColumn<QByteArray>("expected");

    static unsigned char three[] = {0xA1, 0xB2, 0xC3};
    static QByteArray full = pattern(255);
    auto fullBytes = reinterpret_cast<unsigned char *>(full.data());

    QTest::newRow("AppReady") << Send([](MainAppProtocolComm *l) { l->AppReady(); })
                              << hex("01000000" "0c000000" "11000000" "02000000");
    QTest::newRow("EjectDisc") << Send([](MainAppProtocolComm *l) { l->EjectDisc(); })
                               << hex("01000000" "0c000000" "8c000000" "00000000");
    QTest::newRow("heartbeat") << Send([](MainAppProtocolComm *l) { l->SendHeartbeattoMCU(); })
                               << Heartbeat;
    QTest::newRow("source 3 param 1") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(3, 1); })
                                      << hex("01000000" "0c000000" "05000000" "03000100");
    QTest::newRow("source 65534") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(65534, 0); })
                                  << normalFrame(12, 5, 0x0000FFFE);
    QTest::newRow("source -1") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(-1, 0); })
                               << normalFrame(12, 5, 0x0000FFFF);
    QTest::newRow("negative param") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(7, -2); })
                                    << normalFrame(12, 5, 0xFFFE0007);
    QTest::newRow("param high bits dropped") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(7, 0x12345); })
                                             << normalFrame(12, 5, 0x23450007);
    QTest::newRow("only send") << Send([](MainAppProtocolComm *l) { l->onlySendCurSrcToMcu(8, 0x1234); })
                               << normalFrame(12, 5, 0x12340008);
    QTest::newRow("only send -1") << Send([](MainAppProtocolComm *l) { l->onlySendCurSrcToMcu(-1, -1); })
                                  << normalFrame(12, 5, 0xFFFFFFFF);
    QTest::newRow("SendDataToMcu") << Send([](MainAppProtocolComm *l) { l->SendDataToMcu(0x11223344, 0xAABBCCDD, 0x01020304); })
                                   << hex("01000000" "44332211" "ddccbbaa" "04030201");
    QTest::newRow("reply") << Send([](MainAppProtocolComm *l) { l->SendDataToMcu(12, 186, 0); })
                           << hex("01000000" "0c000000" "ba000000" "00000000");
    QTest::newRow("key study 0") << Send([](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_0, 0xAB); })
                                 << hex("01000000" "0c000000" "bd000000" "ab000000");
    QTest::newRow("key study 1") << Send([](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_1, 0xFE); })
                                 << outLong(2, 201, hex("01fe"));
    QTest::newRow("time clock") << Send([](MainAppProtocolComm *l) { l->SendTimeClockToMcu(195, 0x12345678); })
                                << hex("02000000" "c3000000" "0412345678") + QByteArray(251, '\0');
    QTest::newRow("time clock ignores id") << Send([](MainAppProtocolComm *l) { l->SendTimeClockToMcu(7, 0xFFFFFFFF); })
                                           << outLong(2, 195, hex("04ffffffff"));
    QTest::newRow("key colour") << Send([](MainAppProtocolComm *l) { l->SendKeyColorToMcu(0x1FF, 2, 3); })
                                << outLong(2, 19, hex("0401ff0203"));
    QTest::newRow("key colour low bytes") << Send([](MainAppProtocolComm *l) { l->SendKeyColorToMcu(0xABCDEF80, 0x100, 0xFFFFFF7F); })
                                          << outLong(2, 19, hex("040180007f"));
    QTest::newRow("media info 1") << Send([](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(three, 1); })
                                  << outLong(2, 196, hex("a1"));
    QTest::newRow("media info 255") << Send([fullBytes](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(fullBytes, 255); })
                                    << outLong(2, 196, full);
    QTest::newRow("long data") << Send([](MainAppProtocolComm *l) { l->SendLongDataToMcu(0x1234, three, 3); })
                               << outLong(2, 0x1234, hex("a1b2c3"));
    QTest::newRow("long data 255") << Send([fullBytes](MainAppProtocolComm *l) { l->SendLongDataToMcu(77, fullBytes, 255); })
                                   << outLong(2, 77, full);
    QTest::newRow("CAN") << Send([](MainAppProtocolComm *l) { l->SendLongDataToCAN(0x55, three, 3); })
                         << hex("03000000" "55000000" "a1b2c3") + QByteArray(253, '\0');
    QTest::newRow("CAN 255") << Send([fullBytes](MainAppProtocolComm *l) { l->SendLongDataToCAN(0xDEADBEEF, fullBytes, 255); })
                             << outLong(3, 0xDEADBEEF, full);
}

void TestMcuSenders::frames()
{
    QFETCH(Send, send);
    QFETCH(QByteArray, expected);

    send(m_link);
    QCOMPARE(m_peer.read(expected.size()).toHex(), expected.toHex());
    expectNothingMore();
}

void TestMcuSenders::refused_data()
{
    QTest::addColumn<Send>("send");

    static unsigned char bytes[256] = {1, 2, 3};
    QTest::newRow("source 65535") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(65535, 0); });
    QTest::newRow("source INT_MAX") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(INT_MAX, 1); });
    QTest::newRow("only send 65535") << Send([](MainAppProtocolComm *l) { l->onlySendCurSrcToMcu(65535, 0); });
    QTest::newRow("key study 2") << Send([](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(2), 5); });
    QTest::newRow("key study -1") << Send([](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE(-1), 5); });
    QTest::newRow("media info 256") << Send([](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(bytes, 256); });
    QTest::newRow("media info 0") << Send([](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(bytes, 0); });
    QTest::newRow("media info -1") << Send([](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(bytes, -1); });
    QTest::newRow("media info null") << Send([](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(nullptr, 3); });
    QTest::newRow("long data 256") << Send([](MainAppProtocolComm *l) { l->SendLongDataToMcu(9, bytes, 256); });
    QTest::newRow("long data 0") << Send([](MainAppProtocolComm *l) { l->SendLongDataToMcu(9, bytes, 0); });
    QTest::newRow("long data null") << Send([](MainAppProtocolComm *l) { l->SendLongDataToMcu(9, nullptr, 1); });
    QTest::newRow("CAN 256") << Send([](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, bytes, 256); });
    QTest::newRow("CAN -1") << Send([](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, bytes, -1); });
    QTest::newRow("CAN null") << Send([](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, nullptr, 1); });
}

void TestMcuSenders::refused()
{
    QFETCH(Send, send);

    AppData *data = AppData::GetInstance();
    data->setCurSource(SOURCE_ID_NAVI);
    data->setLastSource(SOURCE_ID_PHONE);
    Journal::instance()->clear();
    StdoutCapture out;

    send(m_link);

    QCOMPARE(out.text(), QByteArray());
    QCOMPARE(journalLines(), QStringList());
    QCOMPARE(data->curSource(), int(SOURCE_ID_NAVI));
    QCOMPARE(data->lastSource(), int(SOURCE_ID_PHONE));
    expectNothingMore();
}

void TestMcuSenders::printedLines_data()
{
    QTest::addColumn<Send>("send");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("source") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(SOURCE_ID_NAVI, 0); })
                            << QByteArray("current src id:7\n");
    QTest::newRow("source -5") << Send([](MainAppProtocolComm *l) { l->SendCurSrcToMcu(-5, 0); })
                               << QByteArray("current src id:-5\n");
    QTest::newRow("only send") << Send([](MainAppProtocolComm *l) { l->onlySendCurSrcToMcu(65534, 3); })
                               << QByteArray("current src id2:65534\n");
    QTest::newRow("heartbeat is quiet") << Send([](MainAppProtocolComm *l) { l->SendHeartbeattoMCU(); })
                                        << QByteArray();
}

void TestMcuSenders::printedLines()
{
    QFETCH(Send, send);
    QFETCH(QByteArray, line);

    QByteArray printed;
    {
        StdoutCapture out;
        send(m_link);
        printed = out.text();
    }
    QCOMPARE(printed, line);
    QCOMPARE(m_peer.read(16).size(), 16);
}

void TestMcuSenders::sourceRecord_data()
{
    QTest::addColumn<int>("audioBefore");
    QTest::addColumn<int>("source");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<int>("lastAudioAfter");

    // Before each case: current source navigation, last audio source none.
    QTest::newRow("not audio") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_PHONE)
        << QStringList{"AppData::curSource()", "AppData::setLastSource(7)", "AppData::setCurSource(8)",
                       "AppData::isAudioSource(8)"}
        << int(SOURCE_ID_NONE);
    QTest::newRow("audio, not direct") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_AUX)
        << QStringList{"AppData::curSource()", "AppData::setLastSource(7)", "AppData::setCurSource(5)",
                       "AppData::isAudioSource(5)", "AppData::setIsFirstRun(true)",
                       "AppData::isDirectSwitchAudioSrc(5)"}
        << int(SOURCE_ID_NONE);
    QTest::newRow("direct switch") << int(SOURCE_ID_RADIO) << int(SOURCE_ID_USB_MUSIC)
        << QStringList{"AppData::curSource()", "AppData::setLastSource(7)", "AppData::setCurSource(3)",
                       "AppData::isAudioSource(3)", "AppData::setIsFirstRun(true)",
                       "AppData::isDirectSwitchAudioSrc(3)", "AppData::curAudioSource()",
                       "BaseControl::changeMediaSrcSlot(1, 3)", "AppData::curAudioSource()",
                       "AppData::curAudioSource()", "AppData::setLastAudioSource(1)",
                       "AppData::setCurAudioSource(3)"}
        << int(SOURCE_ID_RADIO);
    QTest::newRow("direct switch to same") << int(SOURCE_ID_DISC) << int(SOURCE_ID_DISC)
        << QStringList{"AppData::curSource()", "AppData::setLastSource(7)", "AppData::setCurSource(2)",
                       "AppData::isAudioSource(2)", "AppData::setIsFirstRun(true)",
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
    data->setCurSource(SOURCE_ID_NAVI);
    data->setLastSource(SOURCE_ID_NONE);
    data->setCurAudioSource(audioBefore);
    data->setLastAudioSource(SOURCE_ID_NONE);
    data->setIsFirstRun(false);
    Journal::instance()->clear();

    {
        StdoutCapture out;
        m_link->SendCurSrcToMcu(source, 9);
        QCOMPARE(out.text(), QByteArray("current src id:") + QByteArray::number(source) + '\n');
    }

    QCOMPARE(journalLines(), calls);
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 5, 0x90000u | quint32(source)).toHex());
    QCOMPARE(data->curSource(), source);
    QCOMPARE(data->lastSource(), int(SOURCE_ID_NAVI));
    QCOMPARE(data->lastAudioSource(), lastAudioAfter);
    const bool isAudio = data->isAudioSource(tag_SOURCE_ID_T(source));
    QCOMPARE(data->isFirstRun(), isAudio);
    const bool direct = isAudio && data->isDirectSwitchAudioSrc(tag_SOURCE_ID_T(source));
    QCOMPARE(data->curAudioSource(), direct ? source : audioBefore);
}

QTEST_GUILESS_MAIN(TestMcuSenders)
#include "tst_mcusenders.moc"
