#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/socket.h>

#include "basecontrol.h"
#include "hostframework.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"
#include "systemclock.h"

using zyappframework::MainAppProtocolComm;

namespace {

// Debug messages from any thread, as the stream form renders them.
QMutex s_debugLock;
QStringList s_debug;

void collectDebug(QtMsgType, const QMessageLogContext &, const QString &text)
{
    QMutexLocker locker(&s_debugLock);
    s_debug << text;
}

QStringList takeDebug()
{
    QMutexLocker locker(&s_debugLock);
    return std::exchange(s_debug, QStringList());
}

class ClockRecorder : public SystemClock
{
public:
    int setTime(int64_t seconds) override
    {
        calls.fetch_add(1);
        Q_UNUSED(seconds);
        return 0;
    }
    std::atomic<int> calls{0};
};

QString describe(const QVariant &arg)
{
    if (arg.userType() == QMetaType::QByteArray)
        return QString::fromLatin1(arg.toByteArray().toHex());
    return arg.toString();
}

QStringList journalLines()
{
    QStringList lines;
    for (const Journal::Entry &e : Journal::instance()->entries()) {
        QStringList args;
        for (const QVariant &a : e.args)
            args << describe(a);
        lines << e.call + QLatin1Char('(') + args.join(QLatin1String(", ")) + QLatin1Char(')');
    }
    return lines;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The record the framework receives: the frame, zero-filled to 268 bytes.
QString record(const QByteArray &frame)
{
    return QString::fromLatin1((frame + QByteArray(268 - frame.size(), '\0')).toHex());
}

QByteArray mcuLong(qint32 msg, const QByteArray &data)
{
    return longFrame(2, quint32(msg), data);
}

// A literal with its embedded zero bytes.
template<int N>
QByteArray text(const char (&s)[N])
{
    return QByteArray(s, N - 1);
}

// Sent behind every case: once the framework has seen it, every frame before
// it has been handled.
const QByteArray Marker = normalFrame(0x3316, 0xFEED, 0);
const QString MarkerCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal(65261, 0)");
const QByteArray MarkerLine = "Main app normal msg:13078, p1:65261, p2:0.\n";

} // namespace

class TestMcuDispatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void normalFrames_data();
    void normalFrames();
    void replyBeforeNotify();
    void longFrames_data();
    void longFrames();
    void versionReply_data();
    void versionReply();

private:
    // Writes the frames and the marker, and waits until the marker is handled.
    bool dispatch(const QByteArray &frames, QStringList *calls, QByteArray *printed);

    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
    QtMessageHandler m_previousHandler = nullptr;
};

void TestMcuDispatch::initTestCase()
{
    SystemClock::setInstance(&m_clock);
    QVERIFY(m_dir.isValid());
    QVERIFY(m_peer.listen());
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_dir.filePath(QStringLiteral("link"))).constData(),
                                        m_peer.name().constData());
    m_link = MainAppProtocolComm::GetInstance();
    m_link->Start();
    QVERIFY(m_peer.accept());
    m_previousHandler = qInstallMessageHandler(collectDebug);
}

void TestMcuDispatch::cleanupTestCase()
{
    qInstallMessageHandler(m_previousHandler);
    if (m_link)
        m_link->Stop();
}

void TestMcuDispatch::init()
{
    HostFramework::setPlatformControlAvailable(true);
    takeDebug();
}

bool TestMcuDispatch::dispatch(const QByteArray &frames, QStringList *calls, QByteArray *printed)
{
    Journal::instance()->clear();
    StdoutCapture out;
    if (!m_peer.write(frames + Marker))
        return false;
    QElapsedTimer timer;
    timer.start();
    QStringList lines;
    do {
        lines = journalLines();
        if (lines.contains(MarkerCall))
            break;
        QTest::qWait(1);
    } while (timer.elapsed() < 10000);
    if (lines.isEmpty() || lines.takeLast() != MarkerCall)
        return false;
    *calls = lines;
    *printed = out.text();
    if (!printed->endsWith(MarkerLine))
        return false;
    printed->chop(MarkerLine.size());
    return true;
}

void TestMcuDispatch::normalFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("debug");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("notify value") << normalFrame(0x0211, 13, 7)
        << QStringList{"ActivityManager::self()", "ActivityManager::notifyMcuValue(7)"}
        << QStringList() << normalFrame(12, 186, 0);
    QTest::newRow("notify value -1") << normalFrame(0x0211, 13, 0xFFFFFFFF)
        << QStringList{"ActivityManager::self()", "ActivityManager::notifyMcuValue(-1)"}
        << QStringList() << normalFrame(12, 186, 0);
    QTest::newRow("eject") << normalFrame(0x0211, 47, 3)
        << QStringList{"BaseControl::ejectSlot()"} << QStringList() << QByteArray();
    QTest::newRow("other command") << normalFrame(0x0211, 5, 1)
        << QStringList() << QStringList() << QByteArray();
    QTest::newRow("key") << normalFrame(0x3316, 3, 1)
        << QStringList{"BaseControl::sendMcuKeyPressedSignal(3, 1)"} << QStringList() << QByteArray();
    QTest::newRow("key, high values") << normalFrame(0x3316, 0x80000000, 0xFFFFFFFF)
        << QStringList{"BaseControl::sendMcuKeyPressedSignal(-2147483648, -1)"} << QStringList() << QByteArray();
    QTest::newRow("MCU type") << normalFrame(0x3358, 65539, 0xFFFF)
        << QStringList{"AppData::setMcuType(3)", "AppData::setTunerType(-1)"}
        << QStringList{"==========>MSG_M2A_MCU_TYPE: 65539 tuner type:  65535"} << QByteArray();
    QTest::newRow("MCU type, high bits") << normalFrame(0x3358, 0xFFFF8001, 0x12347FFF)
        << QStringList{"AppData::setMcuType(-32767)", "AppData::setTunerType(32767)"}
        << QStringList{"==========>MSG_M2A_MCU_TYPE: 4294934529 tuner type:  305430527"} << QByteArray();
    QTest::newRow("discard") << normalFrame(0x7101, 1, 2)
        << QStringList() << QStringList() << QByteArray();
    QTest::newRow("unknown") << normalFrame(12345, 1, 2)
        << QStringList{"ActivityManager::self()", "ActivityManager::handleMcuMsg(1, 12345, 1, 2)"}
        << QStringList() << QByteArray();
    QTest::newRow("unknown, unsigned") << normalFrame(0xFFFFFFFF, 0x80000000, 0xFFFFFFFE)
        << QStringList{"ActivityManager::self()", "ActivityManager::handleMcuMsg(1, 4294967295, 2147483648, 4294967294)"}
        << QStringList() << QByteArray();
    QTest::newRow("type 0") << longFrame(0, 12, hex("0000ed4e00"))
        << QStringList() << QStringList() << QByteArray();
    QTest::newRow("type 4") << longFrame(4, 0x3316, hex("01020304"))
        << QStringList() << QStringList() << QByteArray();
}

void TestMcuDispatch::normalFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, debug);
    QFETCH(QByteArray, reply);

    QStringList seen;
    QByteArray printed;
    QVERIFY(dispatch(frame, &seen, &printed));
    QCOMPARE(seen, calls);
    QCOMPARE(takeDebug(), debug);

    QByteArray line;
    if (qFromLittleEndian<quint32>(frame.constData()) == 1) {
        line = QByteArray("Main app normal msg:") + QByteArray::number(qFromLittleEndian<quint32>(frame.constData() + 4))
                + ", p1:" + QByteArray::number(qFromLittleEndian<quint32>(frame.constData() + 8))
                + ", p2:" + QByteArray::number(qFromLittleEndian<quint32>(frame.constData() + 12)) + ".\n";
    }
    QCOMPARE(printed, line);

    // A heartbeat behind the expected reply shows that nothing else came back.
    m_link->SendHeartbeattoMCU();
    const QByteArray heartbeat = normalFrame(12, 190, 0);
    QCOMPARE(m_peer.read(reply.size() + 16).toHex(), (reply + heartbeat).toHex());
    QCOMPARE(m_clock.calls.load(), 0);
}

void TestMcuDispatch::replyBeforeNotify()
{
    // When the framework hears the value, the acknowledgement must already be
    // on its way to the MCU.
    std::atomic<int> pendingAtNotify{-1};
    const int fd = m_peer.fd();
    auto connection = connect(Journal::instance(), &Journal::recorded, this, [&] {
        const QVector<Journal::Entry> entries = Journal::instance()->entries();
        if (!entries.isEmpty() && entries.last().call == QLatin1String("ActivityManager::notifyMcuValue")) {
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

void TestMcuDispatch::longFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("debug");

    const QByteArray study = hex("010203040506" "1234" "ffff" "0001" "8000" "0000" "abcd" "77");
    QTest::newRow("steering-key study") << mcuLong(47, study)
        << QStringList{"BaseControl::ReceiveKeyStudyMsgFromMcu(010203040506, 4660, 65535, 1, 32768, 0, 43981)"}
        << QStringList();

    for (int msg : {57, 64, 70, 78}) {
        const QByteArray f = mcuLong(msg, hex("fe01020304"));
        QTest::addRow("base data %d", msg) << f
            << QStringList{"BaseControl::RecevieMsgFromMcu(" + record(f) + ")"} << QStringList();
    }
    {
        const QByteArray f = mcuLong(57, QByteArray(256, '\x5a'));
        QTest::newRow("base data, full") << f
            << QStringList{"BaseControl::RecevieMsgFromMcu(" + record(f) + ")"} << QStringList();
        const QByteArray sim = mcuLong(83, hex("0102"));
        QTest::newRow("SIM") << sim
            << QStringList{"BaseControl::RecevieSIMMsgFromMcu(" + record(sim) + ")"} << QStringList();
        const QByteArray mcm = mcuLong(84, hex("0304"));
        QTest::newRow("MCM") << mcm
            << QStringList{"BaseControl::RecevieMCMMsgFromMcu(" + record(mcm) + ")"} << QStringList();
        const QByteArray can = longFrame(3, 12, hex("0000ed4e00"));
        QTest::newRow("CAN time id") << can
            << QStringList{"ActivityManager::self()", "ActivityManager::handleCanMsg(" + record(can) + ")"}
            << QStringList();
        const QByteArray can2 = longFrame(3, 0xFFFFFFFF, QByteArray(256, '\x11'));
        QTest::newRow("CAN any id") << can2
            << QStringList{"ActivityManager::self()", "ActivityManager::handleCanMsg(" + record(can2) + ")"}
            << QStringList();
    }

    QTest::newRow("auto test") << mcuLong(112, hex("aa05bb"))
        << QStringList{"BaseControl::RecevieAutoTestFromMcu(5, aa05)"} << QStringList();

    QTest::newRow("MCU version") << mcuLong(25, text("\x07V1.2.3\0junk"))
        << QStringList{"PlatformControl::getInstance()", "PlatformControl::setMcuVersion(V1.2.3)"} << QStringList();
    QTest::newRow("MCU version, empty") << mcuLong(25, hex("ff00414243"))
        << QStringList{"PlatformControl::getInstance()", "PlatformControl::setMcuVersion()"} << QStringList();
    QTest::newRow("MCU version, UTF-8") << mcuLong(25, text("\x00" "B\xc3\xa4r"))
        << QStringList{"PlatformControl::getInstance()", QString::fromUtf8("PlatformControl::setMcuVersion(Bär)")}
        << QStringList();
    QTest::newRow("MCU version, unterminated") << mcuLong(25, QByteArray(1, '\0') + QByteArray(255, 'x'))
        << QStringList{"PlatformControl::getInstance()", "PlatformControl::setMcuVersion(" + QString(255, 'x') + ")"}
        << QStringList();
    QTest::newRow("MCU version, no platform layer") << mcuLong(25, text("\x00" "V1"))
        << QStringList{"PlatformControl::getInstance()"} << QStringList();
    QTest::newRow("MCU version, frame ends in the text") << mcuLong(25, text("\x00" "ab"))
        << QStringList{"PlatformControl::getInstance()", "PlatformControl::setMcuVersion(ab)"} << QStringList();

    QTest::newRow("UUID") << mcuLong(212, hex("ff4142eeee000004d2"))
        << QStringList{"AppData::setUUID(AB00000000001234)"}
        << QStringList{"==========>uuid: \"AB00000000001234\" len= 16"};
    QTest::newRow("UUID, no prefix") << mcuLong(212, hex("00004200000000002a"))
        << QStringList{"AppData::setUUID(00000000000042)"}
        << QStringList{"==========>uuid: \"00000000000042\" len= 14"};
    QTest::newRow("UUID, one character") << mcuLong(212, hex("005a00ffffffffffff"))
        << QStringList{"AppData::setUUID(Z00004294967295)"}
        << QStringList{"==========>uuid: \"Z00004294967295\" len= 15"};
    QTest::newRow("UUID, zero number") << mcuLong(212, hex("00787900000000000000"))
        << QStringList{"AppData::setUUID(xy00000000000000)"}
        << QStringList{"==========>uuid: \"xy00000000000000\" len= 16"};
    QTest::newRow("UUID, frame ends in the prefix") << mcuLong(212, hex("0051"))
        << QStringList{"AppData::setUUID(Q00000000000000)"}
        << QStringList{"==========>uuid: \"Q00000000000000\" len= 15"};

    QTest::newRow("time, plausible") << mcuLong(12, hex("0000ed4e00"))
        << QStringList{"AppData::setMcuTimeSynced(true)"} << QStringList();

    // Dropped without a trace.
    for (int msg : {0, 26, 46, 48, 56, 58, 63, 79, 80, 81, 85, 111, 113, 211, 213, -1}) {
        QTest::addRow("dropped %d", msg) << mcuLong(msg, hex("0102030405060708"))
            << QStringList() << QStringList();
    }
    // The id is one signed word: high bits do not alias a known message.
    QTest::newRow("dropped 0x1000000c") << mcuLong(0x1000000c, hex("0000ed4e00")) << QStringList() << QStringList();
    QTest::newRow("dropped 0x80000039") << mcuLong(qint32(0x80000039u), hex("01")) << QStringList() << QStringList();
}

void TestMcuDispatch::longFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, debug);

    const QByteArray tag = QTest::currentDataTag();
    HostFramework::setPlatformControlAvailable(!tag.endsWith("no platform layer"));
    const int clockCalls = m_clock.calls.load();
    QStringList seen;
    QByteArray printed;
    QVERIFY(dispatch(frame, &seen, &printed));
    QCOMPARE(seen, calls);
    QCOMPARE(takeDebug(), debug);
    QCOMPARE(printed, QByteArray());

    const bool setsClock = tag.startsWith("time");
    QCOMPARE(m_clock.calls.load(), clockCalls + (setsClock ? 1 : 0));
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 190, 0).toHex());
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

    QTest::newRow("5, 7 and 8 characters") << "C1234" << "SDK-1.2" << true
        << text("\x1c\x05" "C1234" "\x07" "SDK-1.2" "\x0d") + date13;
    QTest::newRow("empty versions") << QString() << QString() << true
        << text("\x10\x00\x00\x0d") + date13;
    QTest::newRow("39 characters") << QString(39, 'c') << QString(39, 's') << true
        << text("\x5e\x27") + QByteArray(39, 'c') + '\x27' + QByteArray(39, 's') + '\x0d' + date13;
    QTest::newRow("cut to 39 bytes") << QString(60, 'c') << QString(40, 's') << true
        << text("\x5e\x27") + QByteArray(39, 'c') + '\x27' + QByteArray(39, 's') + '\x0d' + date13;
    QTest::newRow("non-ASCII counted in bytes") << QString::fromUtf8("Bär") << QString::fromUtf8("€1") << true
        << text("\x18\x04" "B\xc3\xa4r" "\x04" "\xe2\x82\xac" "1" "\x0d") + date13;
    QTest::newRow("non-ASCII cut in bytes") << QString(38, 'c') + QString::fromUtf8("ä") << QStringLiteral("s") << true
        << text("\x38\x27") + QByteArray(38, 'c') + '\xc3' + '\x01' + 's' + '\x0d' + date13;
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
    const QStringList calls = platform
        ? QStringList{"PlatformControl::getInstance()", "PlatformControl::getCustomerVer()",
                      "PlatformControl::getSDKVer()", "BaseControl::getDateVersion()"}
        : QStringList{"PlatformControl::getInstance()", "BaseControl::getDateVersion()"};
    QCOMPARE(seen, calls);
    QCOMPARE(printed, QByteArray("Main app normal msg:13080, p1:0, p2:0.\n"));

    const QByteArray expected = hex("02000000" "cd000000") + data + QByteArray(256 - data.size(), '\0');
    QCOMPARE(m_peer.read(264).toHex(), expected.toHex());
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 190, 0).toHex());
}

QTEST_GUILESS_MAIN(TestMcuDispatch)
#include "tst_mcudispatch.moc"
