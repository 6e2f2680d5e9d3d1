// The link against a peer in the service's place: the send lock, a full or
// stalled socket, a service that is late or restarts, teardown, and senders on
// several threads racing the reader. Built for ThreadSanitizer too (label
// "concurrency").

#include "journal.h"
#include "clockrecorder.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

static const QByteArray RepeatLine = "===============>repeat call SendData\n";
static const QByteArray Heartbeat = normalFrame(12, 190, 0);
static constexpr quint32 Senders = 4, FramesEach = 500, Inbound = 3000, SenderMsg = 0x5A00;

static QByteArray frameLine(quint32 msg, quint32 p1, quint32 p2)
{
    return QStringLiteral("Main app normal msg:%1, p1:%2, p2:%3.\n")
        .arg(msg)
        .arg(p1)
        .arg(p2)
        .toLatin1();
}

static int send(QByteArray frame)
{
    return MainAppProtocolComm::GetInstance()->SendData(frame.data(), frame.size());
}

static quint32 word(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

class TestMainAppProtocolComm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendLock_data();
    void sendLock();
    void fullSocketCostsOneFrame();
    void serviceAppearsLate();
    void serviceRestarts();
    void sendersRaceReader();
    void sendIntoClosedConnectionRaisesNoSignal();
    void staleSocketFileAtOwnAddress();
    void firstReconnectAfter100Ms();
    void backOffRestartsAfterHealthyConnection();
    void sendAfterStopMissesReusedDescriptor();
    void stopLetsFrameInFlightFinish();

private:
    // The real link runs here, as root in CI: no frame may reach the real clock.
    ClockRecorder m_clock;
    QTemporaryDir m_dir;
    // Our end of each test's link, bound in m_dir.
    QString m_path;
    std::unique_ptr<McuPeer> m_peer;
    // Held until the link is gone, so the reader's last lines are caught too.
    std::unique_ptr<StdoutCapture> m_out;
};

void TestMainAppProtocolComm::init()
{
    SystemClock::setInstance(&m_clock);
    m_out = std::make_unique<StdoutCapture>();
    m_peer = std::make_unique<McuPeer>();
    m_path = m_dir.filePath(QString::fromLatin1(m_peer->name()));
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
    QVERIFY(m_peer->connectLink(m_path));

    // More than the socket holds: the first sender keeps the lock until the peer reads.
    QByteArray big = pattern(1 << 19), received;
    int first = 1;
    std::thread holder([&] { first = send(big); });
    const QByteArray start = m_peer->read(1);
    std::thread service([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        received = start + (holdMs < 0 ? QByteArray() : m_peer->read(big.size() + 15, 20000));
    });
    QElapsedTimer timer;
    timer.start();
    const int second = send(Heartbeat);
    const qint64 waitedMs = timer.elapsed();
    service.join();
    holder.join();

    QCOMPARE(second, 0);
    QCOMPARE(m_out->count(RepeatLine), holdMs < 0 ? 1 : 0);
    QCOMPARE(first, holdMs < 0 ? -1 : 0);
    if (holdMs >= 0) {
        QVERIFY(received == big + Heartbeat);
        return;
    }
    QVERIFY2(waitedMs >= 45 && waitedMs < 400, QByteArray::number(waitedMs));
    // The holder's frame could not be finished: the connection ends rather
    // than carry a torn frame, and what went out is the frame's beginning.
    const QByteArray got = start + m_peer->readAll();
    char byte;
    QVERIFY(got.size() < big.size() && big.startsWith(got)
            && ::recv(m_peer->fd(), &byte, 1, MSG_DONTWAIT) == 0);
}

void TestMainAppProtocolComm::fullSocketCostsOneFrame()
{
    QVERIFY(m_peer->connectLink(m_path));

    // The peer reads nothing: frames go in until the socket takes none.
    QByteArray sent;
    QElapsedTimer timer;
    timer.start();
    for (quint32 i = 0; send(normalFrame(12, 190, i)) == 0; ++i)
        sent += normalFrame(12, 190, i);
    QVERIFY2(timer.elapsed() < 800, "a full socket held the sender");
    // What went in comes out whole, and the link goes on.
    QVERIFY(m_peer->read(sent.size()) == sent);
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(16), Heartbeat);
}

void TestMainAppProtocolComm::serviceAppearsLate()
{
    // No descriptor left for the socket at start: the reader has to make one later.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none {0, saved.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0);
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_path).constData(),
                                        m_peer->name().constData());
    MainAppProtocolComm::GetInstance()->Start();
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QElapsedTimer timer;
    timer.start();
    // A sender meanwhile: no socket, then an unconnected one, then the service.
    std::thread sender([] {
        for (int i = 0; i < 20000 && send(Heartbeat) != 0; ++i)
            usleep(1000);
    });
    const auto joinSender = qScopeGuard([&] { sender.join(); });

    // Once per attempt, 100, 200, 400 ms apart: neither a spin nor a fixed beat.
    QTRY_VERIFY_WITH_TIMEOUT(m_out->text().count("-main app socket read failed with error: ") >= 4,
                             10000);
    QVERIFY2(timer.elapsed() >= 500, QByteArray::number(timer.elapsed()));
    QVERIFY(m_peer->listen() && m_peer->accept(10000));
    QCOMPARE(m_peer->read(16), Heartbeat);
    QVERIFY(m_peer->write(normalFrame(28929, 3, 0)));
    QTRY_COMPARE(m_out->count(frameLine(28929, 3, 0)), 1);
    // One line for each change of state, none per attempt.
    const QByteArray down = "MCU link to " + m_peer->name()
        + " down: " + qt_error_string(EMFILE).toLocal8Bit() + "\n";
    const QByteArray up = "MCU link to " + m_peer->name() + " up again\n";
    QCOMPARE(QVector<int>({m_out->count(down), m_out->count(up)}), QVector<int>({1, 1}));
    QCOMPARE(m_out->text().count("MCU link to"), 2);
}

void TestMainAppProtocolComm::serviceRestarts()
{
    QVERIFY(m_peer->connectLink(m_path));
    // Our end is bound to the configured path; the lines reach a log collector's pipe as they happen.
    QVERIFY(QFile::exists(m_path));
    QVERIFY(__flbf(stdout));

    // The service dies in the middle of a frame and comes back.
    QVERIFY(m_peer->write(normalFrame(28929, 1, 10).left(10)));
    m_peer->closeConnection();
    QVERIFY(m_peer->accept(10000));
    // The old connection's partial frame must not be glued to the new stream.
    // And the framework, reacting to the key on the reader thread, tries to
    // tear the link down: refused, not half done, so the link goes on. Meanwhile
    // a burst arrives whole: read 268 bytes at a time, the 10252nd byte no longer
    // fits behind the waiting 10240-byte frame, and the frame behind it is kept.
    // Static, so that it outlives the reader, which reads it.
    static const QByteArray burst = longHeader(2, 9, 10240) + QByteArray(10172, 0)
        + normalFrame(MSG_M2A_DISCARD, 7, 0) + QByteArray(52, 0);
    QObject context;
    connect(
        Journal::instance(), &Journal::recorded, &context,
        [&] {
            MainAppProtocolComm::DeleteInstance();
            m_peer->write(burst);
        },
        Qt::DirectConnection);
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    QTRY_COMPARE(m_out->text(),
                 "Main App invaild datalen:0\nMCU link to " + m_peer->name()
                     + " down: connection closed\n" + "MCU link to " + m_peer->name()
                     + " up again\n" + frameLine(MSG_M2A_KEY_PRESSED, 5, 50)
                     + "MainAppProtocolComm::DeleteInstance refused on the link's reader thread\n"
                     + frameLine(MSG_M2A_DISCARD, 7, 0)
                     + "=================>>>MainAppProtocolComm over size: 10240\n");
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(16), Heartbeat);
}

void TestMainAppProtocolComm::sendersRaceReader()
{
    QVERIFY(m_peer->connectLink(m_path));
    // For the reader to dispatch and answer meanwhile: long frames of every
    // length it frames, for CAN and of a type nobody handles; keys; requests.
    QByteArray stream, expected;
    for (quint32 seq = 0; seq < Inbound; ++seq) {
        const QByteArray normal = normalFrame(seq % 10 ? MSG_M2A_KEY_PRESSED : MSG_M2A_VERSION_REQ,
                                              seq, ~seq);
        stream += seq % 2 ? longFrame(seq % 4 == 1 ? 3 : 9, seq, pattern(int(seq % 257), int(seq)))
                          : normal;
        expected += seq % 2 ? QByteArray() : frameLine(word(normal, 4), seq, ~seq);
    }
    QByteArray received;
    std::atomic<bool> done {false};
    std::thread service([&] {
        for (QByteArray chunk; !(chunk = m_peer->read(1 << 16, 200)).isEmpty() || !done;)
            received += chunk;
    });
    // Frames each sender was told failed, and failures of any other kind.
    std::vector<std::thread> threads;
    QVector<quint32> failed[Senders];
    std::atomic<int> otherFailures {0};
    for (quint32 s = 0; s < Senders; ++s) {
        threads.emplace_back([&, s] {
            for (quint32 seq = 0; seq < FramesEach; ++seq) {
                // Short or long, each ends in ~seq, so a torn or mixed frame shows.
                const QByteArray normal = normalFrame(SenderMsg + s, seq, ~seq);
                if (send(seq % 3
                             ? normal
                             : outLong(2, SenderMsg + s,
                                       normal.mid(8, 4) + QByteArray(248, '\0') + normal.mid(12))))
                    errno == EAGAIN ? void(failed[s] << seq) : void(++otherFailures);
            }
        });
    }
    // Cuts of 1 to 700 bytes, so frames straddle the reader's reads in every way.
    for (int at = 0, n = 0; at < stream.size(); at += n) {
        if (!m_peer->write(stream.mid(at, n = 1 + (at * 37 + 11) % 700)))
            break;
    }
    for (std::thread &thread : threads)
        thread.join();
    // Every inbound normal frame dispatched once, in order, whatever the cuts.
    const bool dispatched = QTest::qWaitFor(
        [&] { return m_out->text().replace(RepeatLine, "") == expected; }, 30000);
    done = true;
    service.join();

    QVERIFY(dispatched);
    QCOMPARE(otherFailures.load(), 0);
    // The stream as the service parses it: whole frames, each sender's in order.
    QVector<quint32> arrived[Senders];
    int versionReplies = 0, at = 0, n;
    for (QByteArray f; (n = FrameCodec::outboundFrameLength(f = received.mid(at, 264))) > 0;
         at += n) {
        const quint32 s = word(f, 4) - SenderMsg, seq = word(f, 8);
        versionReplies += word(f, 4) == MSG_A2M_VERSION;
        if (s < Senders) {
            QVERIFY2(word(f, n - 4) == ~seq && (arrived[s].isEmpty() || arrived[s].last() < seq),
                     "torn or out of order");
            arrived[s] << seq;
        }
    }
    QCOMPARE(at, received.size());
    int full = 0, lost = 0;
    for (quint32 s = 0; s < Senders; ++s) {
        full += failed[s].size();
        lost += int(FramesEach) - arrived[s].size() - failed[s].size();
    }
    const int lockDrops = m_out->count(RepeatLine);
    fprintf(stderr,
            "%d of %u sender frames failed on a full socket, %d dropped on the lock; %d of %u "
            "version replies\n",
            full, Senders * FramesEach, lost, versionReplies, Inbound / 10);
    // A frame that neither arrived nor failed was dropped on the lock, with the
    // line (none arrived and failed too); the other lines are replies of the
    // reader, which no caller hears of.
    QVERIFY(lost >= 0 && lost <= lockDrops);
    QVERIFY(lockDrops - lost <= int(Inbound / 10) - versionReplies);
}

// Counted instead of ending the process, so a SIGPIPE fails the test that raised it.
static std::atomic<int> s_sigpipes {0};

void TestMainAppProtocolComm::sendIntoClosedConnectionRaisesNoSignal()
{
    QVERIFY(m_peer->connectLink(m_path));
    struct sigaction counting
    {
    }, saved {};
    counting.sa_handler = [](int) { ++s_sigpipes; };
    sigaction(SIGPIPE, &counting, &saved);
    const auto restore = qScopeGuard([&] { sigaction(SIGPIPE, &saved, nullptr); });
    s_sigpipes = 0;

    // The service is gone; the reader has not dialled again yet.
    m_peer.reset();
    QVERIFY(send(Heartbeat) != 0);
    QCOMPARE(s_sigpipes.load(), 0);
}

void TestMainAppProtocolComm::staleSocketFileAtOwnAddress()
{
    // A launcher that died left its socket file behind.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {AF_UNIX, {}};
    qstrncpy(addr.sun_path, QFile::encodeName(m_path).constData(), sizeof addr.sun_path);
    QCOMPARE(::bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(stale);

    QVERIFY(m_peer->connectLink(m_path));
    // The service knows the launcher by its address: bound there anyway.
    sockaddr_un seen {};
    socklen_t len = sizeof seen;
    QCOMPARE(::getpeername(m_peer->fd(), reinterpret_cast<sockaddr *>(&seen), &len), 0);
    QCOMPARE(QFile::decodeName(seen.sun_path), m_path);
}

// Milliseconds from the end of the peer's connection to the link's next one.
static qint64 msToReconnect(McuPeer *peer)
{
    QElapsedTimer timer;
    timer.start();
    peer->closeConnection();
    return peer->accept(5000) ? timer.elapsed() : -1;
}

void TestMainAppProtocolComm::firstReconnectAfter100Ms()
{
    QVERIFY(m_peer->connectLink(m_path));
    const qint64 ms = msToReconnect(m_peer.get());
    QVERIFY2(ms >= 100 && ms < 200, QByteArray::number(ms));
}

void TestMainAppProtocolComm::backOffRestartsAfterHealthyConnection()
{
    QVERIFY(m_peer->connectLink(m_path));
    // Three connections end at once: the waits grow to 100, 200, 400 ms.
    for (int i = 0; i < 3; ++i)
        QVERIFY(msToReconnect(m_peer.get()) >= 0);
    // This one carries a frame, so the next wait is the first one again, not 800 ms.
    QVERIFY(m_peer->write(normalFrame(28929, 4, 0)));
    QTRY_COMPARE(m_out->count(frameLine(28929, 4, 0)), 1);
    const qint64 ms = msToReconnect(m_peer.get());
    QVERIFY2(ms >= 100 && ms < 400, QByteArray::number(ms));
}

void TestMainAppProtocolComm::sendAfterStopMissesReusedDescriptor()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The link's descriptor is the one bound to our path.
    int linkFd = -1;
    for (int fd = 0; fd < 1024 && linkFd < 0; ++fd) {
        sockaddr_un addr {};
        socklen_t len = sizeof addr;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0
            && addr.sun_family == AF_UNIX && QFile::decodeName(addr.sun_path) == m_path)
            linkFd = fd;
    }
    QVERIFY(linkFd >= 0);
    MainAppProtocolComm::GetInstance()->Stop();
    // The reader closes it on its way out; the next socket takes its number.
    QTRY_VERIFY(::fcntl(linkFd, F_GETFD) == -1);
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const auto closePair = qScopeGuard([&] {
        ::close(pair[0]);
        ::close(pair[1]);
    });
    QCOMPARE(pair[0], linkFd);

    QCOMPARE(send(Heartbeat), -1);
    char byte;
    QCOMPARE(::recv(pair[1], &byte, 1, MSG_DONTWAIT), ssize_t(-1));
}

void TestMainAppProtocolComm::stopLetsFrameInFlightFinish()
{
    QVERIFY(m_peer->connectLink(m_path));
    // More than the socket holds, and the peer reads only 100 ms after Stop.
    const QByteArray big = pattern(1 << 19);
    int result = 1;
    std::thread sender([&] { result = send(big); });
    const QByteArray start = m_peer->read(1);
    QByteArray received;
    std::thread service([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        received = start + m_peer->read(big.size() - 1, 20000);
    });
    MainAppProtocolComm::GetInstance()->Stop();
    sender.join();
    service.join();

    QCOMPARE(result, 0);
    QVERIFY(received == big);
}

QTEST_GUILESS_MAIN(TestMainAppProtocolComm)
#include "tst_mainappprotocolcomm.moc"
