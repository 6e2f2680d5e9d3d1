// Faults of the MCU service against the real link: malformed frames, a service
// that goes away and comes back, and one that stops reading.

#include "framingmodel.h"
#include "journal.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "systemclock.h"
#include "stdoutcapture.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

using zyappframework::MainAppProtocolComm;

namespace {

// No test may move the machine's clock, whatever a garbled frame says.
class RecordingClock : public SystemClock
{
public:
    int setTime(int64_t) override { return 0; }
};

const QString KeyCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal");
const QString LongCall = QStringLiteral("BaseControl::RecevieMsgFromMcu");
// Ends each case: once it is dispatched, everything sent before it has been.
constexpr quint32 SentinelKey = 999999;

// Joins on every way out of a test function, failed comparisons included.
class JoiningThread : public std::thread
{
public:
    using std::thread::thread;
    JoiningThread(JoiningThread &&) = default;
    ~JoiningThread()
    {
        if (joinable())
            join();
    }
};

QByteArray header(quint32 type, quint32 msg, qint32 length)
{
    QByteArray h(12, '\0');
    qToLittleEndian(type, h.data());
    qToLittleEndian(msg, h.data() + 4);
    qToLittleEndian(length, h.data() + 8);
    return h;
}

// The two framework calls these tests follow, as the journal shows them.
QVariantList observed(const QVector<Journal::Entry> &entries)
{
    QVariantList out;
    for (const Journal::Entry &e : entries) {
        if (e.call == KeyCall)
            out << QVariant(QByteArray("key ") + QByteArray::number(e.args.value(0).toInt()));
        else if (e.call == LongCall)
            out << QVariant(QByteArray("long ") + e.args.value(0).toByteArray().toHex());
    }
    return out;
}

// The same calls as the dispatcher makes them for the records handed over.
QVariantList expectedCalls(const QList<QByteArray> &records)
{
    QVariantList out;
    for (const QByteArray &r : records) {
        const auto *p = reinterpret_cast<const uchar *>(r.constData());
        const quint32 type = qFromLittleEndian<quint32>(p);
        const quint32 msg = qFromLittleEndian<quint32>(p + 4);
        if (type == 1 && msg == MSG_M2A_KEY_PRESSED)
            out << QVariant(QByteArray("key ") + QByteArray::number(qint32(qFromLittleEndian<quint32>(p + 8))));
        else if (type == 2 && (msg == MSG_M2A_BASE_DATA || (msg >= MSG_M2A_BASE_DATA_FIRST && msg <= MSG_M2A_BASE_DATA_LAST)))
            out << QVariant(QByteArray("long ") + r.toHex());
    }
    return out;
}

// Parses what the service read from the launcher: 16 bytes for type 1, 264
// for types 2 and 3. Returns the number of whole frames; *tornAt is the offset
// of a byte that should start a frame but does not, or -1.
int parseOutbound(const QByteArray &stream, int *tornAt, int *tail)
{
    int at = 0;
    int frames = 0;
    *tornAt = -1;
    while (stream.size() - at >= 4) {
        const quint32 type = qFromLittleEndian<quint32>(stream.constData() + at);
        const int size = type == 1 ? 16 : (type == 2 || type == 3) ? 264 : 0;
        if (size == 0) {
            *tornAt = at;
            break;
        }
        if (stream.size() - at < size)
            break;
        at += size;
        ++frames;
    }
    *tail = stream.size() - at;
    return frames;
}

} // namespace

class TestFaultInjection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SystemClock::setInstance(&m_clock); }
    void init();
    void cleanup();

    void malformedFrames_data();
    void malformedFrames();
    void serviceRestarts();
    void stalledServiceDoesNotHoldSenders();

private:
    RecordingClock m_clock;
    MainAppProtocolComm *startLink(const McuPeer &peer);
    // Ends the connection so the link reconnects, then waits for a key sent
    // on the new one: everything of the old connection has been handled.
    void flush(McuPeer &peer);

    QTemporaryDir m_dir;
    int m_links = 0;
    std::unique_ptr<StdoutCapture> m_out;
};

MainAppProtocolComm *TestFaultInjection::startLink(const McuPeer &peer)
{
    const QByteArray local = QFile::encodeName(m_dir.path()) + "/link" + QByteArray::number(++m_links);
    MainAppProtocolComm::setSocketNames(local.constData(), peer.name().constData());
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    return link;
}

void TestFaultInjection::flush(McuPeer &peer)
{
    peer.closeConnection();
    QVERIFY(peer.accept(20000));
    QVERIFY(peer.write(normalFrame(MSG_M2A_KEY_PRESSED, SentinelKey, 0)));
    const QVariant sentinel(QByteArray("key ") + QByteArray::number(SentinelKey));
    QTRY_VERIFY_WITH_TIMEOUT(observed(Journal::instance()->entries()).contains(sentinel), 20000);
}

void TestFaultInjection::init()
{
    m_out = std::make_unique<StdoutCapture>();
    Journal::instance()->clear();
}

void TestFaultInjection::cleanup()
{
    MainAppProtocolComm::DeleteInstance();
    m_out.reset();
}

void TestFaultInjection::malformedFrames_data()
{
    QTest::addColumn<QByteArray>("bad");

    // Each malformed frame: its header, and as many bytes after it as its
    // length claims (up to what the reader can ever hold), so a frame that
    // is merely long is complete.
    const qint32 lengths[] = {0, -1, -12, -268, INT_MIN, 1, 7, 8, 11, 269, 300, 1000, 4096, 10239, 10240,
                              10241, 20000, INT_MAX};
    for (qint32 length : lengths) {
        QByteArray frame = header(MAIN_APP_TYPE_MCU, MSG_M2A_BASE_DATA, length);
        const int body = qBound(0, length, 10240) - 12;
        for (int i = 0; i < body; ++i)
            frame += char(i % 7 == 0 ? 1 : i); // a stray type word now and then
        QTest::addRow("length %d", length) << frame;
    }
    // Unknown types framed by a sane length: handed over, ignored, nothing lost.
    for (quint32 type : {0u, 4u, 0x7fffffffu, 0xffffffffu}) {
        QByteArray frame = header(type, MSG_M2A_BASE_DATA, 40);
        frame += QByteArray(28, '\x5a');
        QTest::addRow("type %u", type) << frame;
    }
    // Unknown type with the malformed lengths too.
    QTest::addRow("type 9 length 0") << header(9, 1, 0);
    QTest::addRow("type 9 length -5") << header(9, 1, -5);
}

void TestFaultInjection::malformedFrames()
{
    QFETCH(QByteArray, bad);

    McuPeer peer;
    QVERIFY(peer.listen());
    startLink(peer);
    QVERIFY(peer.accept());

    // Valid frames of both kinds, enough that some sit in later reads than the bad frame.
    QByteArray followers;
    for (int i = 0; i < 60; ++i) {
        if (i % 6 == 5)
            followers += longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_BASE_DATA_FIRST, QByteArray(20 + i, char(i)));
        else
            followers += normalFrame(MSG_M2A_KEY_PRESSED, quint32(1000 + i), 0);
    }

    for (const QByteArray &stream : {bad, bad + followers, followers + bad + followers}) {
        Journal::instance()->clear();
        // One write is one burst on the socket: the reader takes it in reads of
        // its full size, so the framing rules say exactly what survives.
        QVERIFY(peer.write(stream));
        flush(peer);
        if (QTest::currentTestFailed())
            return;
        QVariantList got = observed(Journal::instance()->entries());
        QVERIFY(!got.isEmpty());
        got.removeLast(); // the sentinel
        FramingModel model;
        QCOMPARE(got, expectedCalls(model.feed(stream, FrameReassembler::MaxRead)));
    }
}

void TestFaultInjection::serviceRestarts()
{
    StdoutCapture &out = *m_out;
    McuPeer peer;
    QVERIFY(peer.listen());
    MainAppProtocolComm *link = startLink(peer);

    for (int round = 0; round < 5; ++round) {
        QVERIFY(peer.accept(20000));
        Journal::instance()->clear();
        QByteArray keys;
        for (int i = 0; i < 20; ++i)
            keys += normalFrame(MSG_M2A_KEY_PRESSED, quint32(round * 100 + i), 0);
        QVERIFY(peer.write(keys));
        QTRY_COMPARE(Journal::instance()->calls().count(KeyCall), 20);
        QByteArray frame = normalFrame(MSG_A2M_CMD, A2M_CMD_HEARTBEAT, quint32(round));
        QCOMPARE(link->SendData(frame.data(), frame.size()), 0);
        QCOMPARE(peer.read(16), frame);

        // The service dies in the middle of a frame; on odd rounds it is gone
        // for a while before it listens again.
        QVERIFY(peer.write(normalFrame(MSG_M2A_KEY_PRESSED, 4242, 0).left(9)));
        peer.closeConnection();
        if (round % 2) {
            peer.closeListener();
            QTRY_VERIFY(out.count("Main App invaild datalen:0\n") > round);
            QVERIFY(peer.listen());
        }
    }
    QVERIFY(peer.accept(20000));
    Journal::instance()->clear();
    QVERIFY(peer.write(normalFrame(MSG_M2A_KEY_PRESSED, SentinelKey, 0)));
    QTRY_VERIFY(Journal::instance()->calls().contains(KeyCall));
    // The torn frames never reached the dispatcher.
    QVERIFY(!observed(Journal::instance()->entries()).contains(QVariant(QByteArray("key 4242"))));
    QVERIFY(!out.text().contains("p1:4242"));
}

void TestFaultInjection::stalledServiceDoesNotHoldSenders()
{
    McuPeer peer;
    QVERIFY(peer.listen());
    MainAppProtocolComm *link = startLink(peer);
    QVERIFY(peer.accept());
    // Senders keep going well past the point where the socket is full.
    constexpr int Threads = 3;
    constexpr int PerThread = 1000;
    std::atomic<qint64> slowestMs{0};
    std::atomic<int> failures{0};
    {
        std::vector<JoiningThread> senders;
        for (int t = 0; t < Threads; ++t) {
            senders.emplace_back([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    QElapsedTimer timer;
                    timer.start();
                    int result;
                    if (t == 0 && i == 0) {
                        // Many frames in one call, more than the socket buffer
                        // holds: the socket takes only part of them.
                        QByteArray batch;
                        for (int k = 0; k < 1000; ++k) {
                            QByteArray frame(MAIN_APP_LONG_MSG_SIZE, '\x55');
                            qToLittleEndian<quint32>(MAIN_APP_TYPE_MCU, frame.data());
                            batch += frame;
                        }
                        result = link->SendData(batch.data(), batch.size());
                    } else if (i % 2) {
                        unsigned char frame[MAIN_APP_LONG_MSG_SIZE];
                        std::memset(frame, t + 1, sizeof frame);
                        qToLittleEndian<quint32>(MAIN_APP_TYPE_CAN, frame);
                        result = link->SendData(frame, sizeof frame);
                    } else {
                        QByteArray frame = normalFrame(MSG_A2M_CMD, quint32(t), quint32(i));
                        result = link->SendData(frame.data(), frame.size());
                    }
                    if (result != 0)
                        ++failures;
                    qint64 took = timer.elapsed();
                    qint64 prev = slowestMs.load();
                    while (took > prev && !slowestMs.compare_exchange_weak(prev, took)) {
                    }
                }
            });
        }
    }
    // Standard output is captured; the figures go to the log.
    fprintf(stderr, "slowest SendData against a stalled service: %lld ms, %d sends failed\n", slowestMs.load(),
          failures.load());
    // Not a speed target: a sender that blocks until the service reads never gets here at all.
    QVERIFY2(slowestMs.load() < 10000, "a sender waited for the stalled service");
    QVERIFY(failures.load() > 0);

    // The service reads again; whatever it gets is whole frames. Only the end
    // of a connection may cut the last one short; the link then dials again.
    int frames = 0;
    for (int connection = 0;; ++connection) {
        QByteArray stream;
        bool ended = false;
        for (;;) {
            pollfd p{peer.fd(), POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                break;
            char buf[65536];
            const ssize_t n = ::recv(peer.fd(), buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ended = n == 0;
                break;
            }
            stream.append(buf, int(n));
        }
        int tornAt = -1;
        int tail = 0;
        frames += parseOutbound(stream, &tornAt, &tail);
        fprintf(stderr, "connection %d: %d bytes, %d trailing, ended: %d\n", connection, int(stream.size()), tail, int(ended));
        QVERIFY2(tornAt < 0, qPrintable(QStringLiteral("torn frame at byte %1 of %2").arg(tornAt).arg(stream.size())));
        QVERIFY2(tail == 0 || ended, "a partial frame was left on a connection that goes on");
        if (!ended)
            break;
        QVERIFY(peer.accept(20000));
    }
    QVERIFY(frames > 0);

    // And the link still works.
    QByteArray frame = normalFrame(MSG_A2M_CMD, A2M_CMD_HEARTBEAT, 77);
    QCOMPARE(link->SendData(frame.data(), frame.size()), 0);
    QCOMPARE(peer.read(16), frame);
}

QTEST_GUILESS_MAIN(TestFaultInjection)
#include "tst_faultinjection.moc"
