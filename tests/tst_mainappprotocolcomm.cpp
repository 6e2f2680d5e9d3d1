// The link against a peer in the service's place: the send lock, a full or
// stalled socket, a service that is late or restarts, teardown, and senders on
// several threads racing the reader. Built for ThreadSanitizer too (label
// "concurrency").

#include "journal.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

namespace {

const QByteArray RepeatLine = "===============>repeat call SendData\n";
const QByteArray ReadFailed = "-main app socket read failed with error: ";
const QByteArray Heartbeat = normalFrame(12, 190, 0);
constexpr quint32 Senders = 4, FramesEach = 500, Inbound = 3000, SenderMsg = 0x5A00;

QByteArray frameLine(quint32 msg, quint32 p1, quint32 p2)
{
    return QStringLiteral("Main app normal msg:%1, p1:%2, p2:%3.\n").arg(msg).arg(p1).arg(p2).toLatin1();
}

int send(QByteArray frame)
{
    return MainAppProtocolComm::GetInstance()->SendData(frame.data(), frame.size());
}

quint32 word(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

// Inbound frame seq: long frames of every length the reader frames, of a type
// for CAN and one nobody handles; keys; and requests the reader answers.
QByteArray inbound(quint32 seq)
{
    if (seq % 2)
        return longFrame(seq % 4 == 1 ? quint32(MAIN_APP_TYPE_CAN) : 9, seq, pattern(int(seq % 257), int(seq)));
    return normalFrame(seq % 10 ? MSG_M2A_KEY_PRESSED : MSG_M2A_VERSION_REQ, seq, ~seq);
}

// Frame seq of sender s, short or long; it ends in ~seq, so a torn or mixed frame shows.
QByteArray senderFrame(quint32 s, quint32 seq)
{
    const QByteArray normal = normalFrame(SenderMsg + s, seq, ~seq);
    return seq % 3 ? normal : outLong(2, SenderMsg + s, normal.mid(8, 4) + QByteArray(248, '\0') + normal.mid(12));
}

// The launcher's stream as the service parses it.
struct ServiceView {
    QByteArray pending;
    bool torn = false;
    int versionReplies = 0;
    QVector<quint32> arrived[Senders];

    void add(const QByteArray &bytes)
    {
        pending += bytes;
        int at = 0, n;
        for (QByteArray f; (n = FrameCodec::outboundFrameLength(f = pending.mid(at, 264))) > 0; at += n) {
            const quint32 s = word(f, 4) - SenderMsg, seq = word(f, 8);
            versionReplies += word(f, 4) == MSG_A2M_VERSION;
            if (s < Senders) {
                torn |= word(f, n - 4) != ~seq || (!arrived[s].isEmpty() && arrived[s].last() >= seq);
                arrived[s] << seq;
            }
        }
        torn |= n < 0;
        pending.remove(0, at);
    }
};

} // namespace

class TestMainAppProtocolComm : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_out = std::make_unique<StdoutCapture>(); }
    void cleanup();

    void sendLock_data();
    void sendLock();
    void fullSocketCostsOneFrame();
    void serviceAppearsLate();
    void serviceRestarts();
    void deleteInstanceOnReaderRefused();
    void sendersRaceReader();

private:
    // With connect, the peer listens first and takes the connection.
    MainAppProtocolComm *startLink(McuPeer &peer, bool connect = true);

    QTemporaryDir m_dir;
    int m_links = 0;
    // Held until the link is gone, so the reader's last lines are caught too.
    std::unique_ptr<StdoutCapture> m_out;
};

MainAppProtocolComm *TestMainAppProtocolComm::startLink(McuPeer &peer, bool connect)
{
    const QString path = m_dir.filePath(QString::number(++m_links));
    return connect ? peer.connectLink(path) : peer.startLink(path);
}

void TestMainAppProtocolComm::cleanup()
{
    // Each test leaves the reader blocked in read or waiting to dial again:
    // a DeleteInstance that cannot end it hangs here until the test times out.
    MainAppProtocolComm::DeleteInstance();
    m_out.reset();
}

void TestMainAppProtocolComm::sendLock_data()
{
    // How long the first sender keeps the lock; -1: longer than the second waits.
    QTest::addColumn<int>("holdMs");
    QTest::newRow("holder done after 20 ms: the frame waits and goes out") << 20;
    QTest::newRow("holder stuck: the frame is dropped after 50 ms") << -1;
}

void TestMainAppProtocolComm::sendLock()
{
    QFETCH(int, holdMs);
    McuPeer peer;
    MainAppProtocolComm *link = startLink(peer);
    QVERIFY(link);

    // More than the socket holds: the first sender keeps the lock until the peer reads.
    QByteArray big = pattern(1 << 20), received;
    int first = 1, queued = 0;
    std::thread holder([&] { first = link->SendData(big.data(), big.size()); });
    const bool holding = QTest::qWaitFor([&] { return ioctl(peer.fd(), FIONREAD, &queued) == 0 && queued > 0; });
    std::thread service([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        received = holdMs < 0 ? QByteArray() : peer.read(big.size() + 16, 20000);
    });
    QElapsedTimer timer;
    timer.start();
    const int second = send(Heartbeat);
    const qint64 waitedMs = timer.elapsed();
    service.join();
    holder.join();

    QVERIFY(holding);
    QCOMPARE(second, 0);
    QCOMPARE(m_out->count(RepeatLine), holdMs < 0 ? 1 : 0);
    if (holdMs >= 0) {
        QCOMPARE(first, 0);
        QVERIFY(received == big + Heartbeat);
        return;
    }
    QVERIFY2(waitedMs >= 45 && waitedMs < 400, QByteArray::number(waitedMs));
    // The holder's frame could not be finished: the connection ends rather
    // than carry a torn frame, and what went out is the frame's beginning.
    QCOMPARE(first, -1);
    const QByteArray got = peer.readAll();
    char byte;
    QVERIFY(got.size() < big.size() && big.startsWith(got) && ::recv(peer.fd(), &byte, 1, MSG_DONTWAIT) == 0);
}

void TestMainAppProtocolComm::fullSocketCostsOneFrame()
{
    McuPeer peer;
    QVERIFY(startLink(peer));

    // The peer reads nothing: frames go in until the socket takes none.
    QByteArray sent;
    QElapsedTimer timer;
    forever {
        const QByteArray frame = normalFrame(12, 190, quint32(sent.size()));
        timer.start();
        if (send(frame) != 0)
            break;
        sent += frame;
    }
    QVERIFY2(timer.elapsed() < 500, "a full socket held the sender");
    // What went in comes out whole, and the link goes on.
    QVERIFY(peer.read(sent.size()) == sent);
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(peer.read(16), Heartbeat);
}

void TestMainAppProtocolComm::serviceAppearsLate()
{
    McuPeer peer;
    // No descriptor left for the socket at start: the reader has to make one later.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    close(lowestFree);
    const rlimit tight{rlim_t(lowestFree), saved.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    startLink(peer, false);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QElapsedTimer timer;
    timer.start();
    // A sender meanwhile: no socket, then an unconnected one, then the service.
    std::thread sender([] {
        for (QDeadlineTimer limit(20000); send(Heartbeat) != 0 && !limit.hasExpired();)
            usleep(1000);
    });
    const auto joinSender = qScopeGuard([&] { sender.join(); });

    // Once per attempt, 100, 200, 400 ms apart: neither a spin nor a fixed beat.
    QTRY_VERIFY_WITH_TIMEOUT(m_out->text().count(ReadFailed) >= 4, 10000);
    QVERIFY2(timer.elapsed() >= 500, QByteArray::number(timer.elapsed()));
    QVERIFY(peer.listen());
    QVERIFY(peer.accept(10000));
    QCOMPARE(peer.read(16), Heartbeat);
    QVERIFY(peer.write(normalFrame(28929, 3, 0)));
    QTRY_COMPARE(m_out->count(frameLine(28929, 3, 0)), 1);
    // One line for each change of state, none per attempt.
    const QByteArray down = "MCU link to " + peer.name() + " down: " + QByteArray(strerror(EMFILE)) + "\n";
    const QByteArray up = "MCU link to " + peer.name() + " up again\n";
    QCOMPARE(QVector<int>({m_out->count(down), m_out->count(up)}), QVector<int>({1, 1}));
    QCOMPARE(m_out->text().count('\n'), m_out->text().count(ReadFailed) + 3);
}

void TestMainAppProtocolComm::serviceRestarts()
{
    McuPeer peer;
    QVERIFY(startLink(peer));
    // Our end is bound to the configured path; the lines reach a log collector's pipe as they happen.
    sockaddr_un addr;
    socklen_t len = sizeof addr;
    QCOMPARE(getpeername(peer.fd(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    QCOMPARE(QFile::decodeName(addr.sun_path), m_dir.filePath(QString::number(m_links)));
    QVERIFY(__flbf(stdout));

    // The service dies in the middle of a frame and comes back.
    QVERIFY(peer.write(normalFrame(28929, 1, 10).left(10)));
    peer.closeConnection();
    QVERIFY(peer.accept(10000));
    // The old connection's partial frame must not be glued to the new stream.
    QVERIFY(peer.write(normalFrame(28929, 5, 50)));
    QTRY_COMPARE(m_out->text(), "Main App invaild datalen:0\nMCU link to " + peer.name() + " down: connection closed\n"
                                    + "MCU link to " + peer.name() + " up again\n" + frameLine(28929, 5, 50));
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(peer.read(16), Heartbeat);
}

void TestMainAppProtocolComm::deleteInstanceOnReaderRefused()
{
    McuPeer peer;
    QVERIFY(startLink(peer));
    // The framework tears the link down from a call the reader makes into it.
    QObject context;
    connect(Journal::instance(), &Journal::recorded, &context, [] { MainAppProtocolComm::DeleteInstance(); },
            Qt::DirectConnection);
    QVERIFY(peer.write(normalFrame(MSG_M2A_KEY_PRESSED, 1, 0)));
    QTRY_VERIFY(m_out->text().contains("MainAppProtocolComm::DeleteInstance refused on the link's reader thread\n"));
    // Refused, not half done: the link goes on.
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(peer.read(16), Heartbeat);
}

void TestMainAppProtocolComm::sendersRaceReader()
{
    McuPeer peer;
    QVERIFY(startLink(peer));
    // A long mixed stream cut at random, for the reader to dispatch and answer meanwhile.
    QByteArray stream, expected;
    for (quint32 seq = 0; seq < Inbound; ++seq) {
        stream += inbound(seq);
        if (seq % 2 == 0)
            expected += frameLine(word(stream, stream.size() - 12), seq, ~seq);
    }
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        std::mt19937 rng(20261206);
        for (int at = 0, n = 0; at < stream.size(); at += n) {
            n = std::uniform_int_distribution<int>(1, 700)(rng);
            if (!peer.write(stream.mid(at, n)))
                return;
        }
    });
    // Frames each sender was told failed, and failures of any other kind.
    QVector<quint32> failed[Senders];
    std::atomic<int> otherFailures{0};
    for (quint32 s = 0; s < Senders; ++s) {
        threads.emplace_back([&, s] {
            for (quint32 seq = 0; seq < FramesEach; ++seq) {
                if (send(senderFrame(s, seq)) != 0)
                    errno == EAGAIN ? void(failed[s] << seq) : void(++otherFailures);
            }
        });
    }
    ServiceView view;
    std::atomic<bool> done{false};
    std::thread service([&] {
        for (QByteArray chunk; !(chunk = peer.read(1 << 16, 200)).isEmpty() || !done;)
            view.add(chunk);
    });
    for (std::thread &thread : threads)
        thread.join();
    // Every inbound normal frame dispatched once, in order, whatever the cuts.
    const bool dispatched = QTest::qWaitFor([&] { return m_out->text().replace(RepeatLine, "") == expected; }, 30000);
    done = true;
    service.join();

    QVERIFY(dispatched);
    QVERIFY(!view.torn);
    QCOMPARE(otherFailures.load(), 0);
    int full = 0, lost = 0;
    for (quint32 s = 0; s < Senders; ++s) {
        for (quint32 seq : failed[s])
            QVERIFY2(!view.arrived[s].contains(seq), "a frame reported failed arrived");
        full += failed[s].size();
        lost += int(FramesEach) - view.arrived[s].size() - failed[s].size();
    }
    const int lockDrops = m_out->count(RepeatLine);
    fprintf(stderr, "%d of %u sender frames failed on a full socket, %d dropped on the lock; %d of %u version replies\n",
            full, Senders * FramesEach, lost, view.versionReplies, Inbound / 10);
    // A frame that neither arrived nor failed was dropped on the lock, with the
    // line; the other lines are replies of the reader, which no caller hears of.
    QVERIFY(lost <= lockDrops);
    QVERIFY(lockDrops - lost <= int(Inbound / 10) - view.versionReplies);
}

QTEST_GUILESS_MAIN(TestMainAppProtocolComm)
#include "tst_mainappprotocolcomm.moc"
