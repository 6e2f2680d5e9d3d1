// The link against a peer in the service's place: the send lock, a full or
// stalled socket, a service that is late or restarts, teardown, and senders on
// several threads racing the reader. Built for ThreadSanitizer too (label
// "concurrency").

#include "journal.h"
#include "launcherconfig.h"
#include "clockrecorder.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "stdoutcapture.h"
#include "unixaddress.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <iterator>
#include <poll.h>
#include <memory>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// What the link says of a service in this process.
static QByteArray identityLine(const QByteArray &name, qint64 pid = getpid(), uint uid = getuid(),
                               uint gid = getgid())
{
    return "MCU link to " + name + ": service pid " + QByteArray::number(pid) + " uid "
        + QByteArray::number(uid) + " gid " + QByteArray::number(gid) + "\n";
}

static const QByteArray AppReadyFrame = normalFrame(12, 17, 2);

static int entries(const char *dir)
{
    return int(
        QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
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

    void sendDataSendsEveryByte_data();
    void sendDataSendsEveryByte();
    void sendLock_data();
    void sendLock();
    void fullSocketCostsOneFrame();
    void appReadyGivingUpLeavesLockToHolder();
    void appReadyOncePerConnection();
    void serviceAppearsLate();
    void longestNamesKeptWhole();
    void linesLeaveAsTheyHappen();
    void serviceRestartsMidFrame();
    void deleteInstanceRefusedOnReader();
    void overSizeFrameInBurst();
    void sendersRaceReader();
    void appReadyFirstOnEachConnection_data();
    void appReadyFirstOnEachConnection();
    void requiredServiceUid_data();
    void requiredServiceUid();
    void serviceOfAnotherUid_data();
    void serviceOfAnotherUid();
    void launcherEndsConnection();
    void fullSocketWaitsWithoutSpinning();
    void serviceGoneMidFrameEndsSendAtOnce();
    void restartSoak();

    void sendIntoClosedConnectionRaisesNoSignal();
    void staleSocketFileAtOwnAddress();
    void reconnectWaitDoubles_data();
    void reconnectWaitDoubles();
    void readErrorTakesLinkDown();
    void frameInSingleBytes();
    void stopIsNoLinkDown();
    void backOffRestartsAfterHealthyConnection();
    void stopCutsWaitBeforeReconnect();
    void sendAfterStopMissesReusedDescriptor();
    void sendBetweenStopAndReaderEnd();
    void stopLetsFrameInFlightFinish();

public:
    enum Dial { AtBoot, ServiceLate, ServiceRestarted };
    Q_ENUM(Dial)

private:
    void onReaderRecord(std::function<void()> hook);

    // The real link runs here, as root in CI: no frame may reach the real clock.
    ClockRecorder m_clock;
    QTemporaryDir m_dir;
    // Our end of each test's link, bound in m_dir.
    QString m_path;
    std::unique_ptr<McuPeer> m_peer;
    // Held until the link is gone, so the reader's last lines are caught too.
    std::unique_ptr<StdoutCapture> m_out;
    // Context of the hooks the reader runs; freed only once the reader is
    // joined, as it may be inside one when a test's comparison succeeds.
    std::unique_ptr<QObject> m_hooks;
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
    m_hooks.reset();
    m_out.reset();
}

// Runs hook on the reader thread whenever the framework records a call.
void TestMainAppProtocolComm::onReaderRecord(std::function<void()> hook)
{
    m_hooks = std::make_unique<QObject>();
    connect(Journal::instance(), &Journal::recorded, m_hooks.get(), std::move(hook),
            Qt::DirectConnection);
}

// The exported call takes any length, not only the frames the launcher builds.
void TestMainAppProtocolComm::sendDataSendsEveryByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("one byte") << QByteArray(1, '\x7f');
    QTest::newRow("a normal frame") << Heartbeat;
    QTest::newRow("a long frame") << outLong(3, 0x2101, pattern(200));
}

void TestMainAppProtocolComm::sendDataSendsEveryByte()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(m_peer->connectLink(m_path));
    QCOMPARE(send(bytes), 0);
    QCOMPARE(m_peer->read(bytes.size()), bytes);
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

void TestMainAppProtocolComm::appReadyGivingUpLeavesLockToHolder()
{
    QVERIFY(m_peer->connectLink(m_path));
    // A sender stuck on a socket the peer does not read holds the lock for a
    // second: AppReady gives up after its 50 ms and must leave the lock held,
    // so the next sender waits and gives up too rather than cut in.
    QByteArray big = pattern(1 << 19);
    int first = 1;
    std::thread holder([&] { first = send(big); });
    const auto joinHolder = qScopeGuard([&] { holder.join(); });
    QVERIFY(!m_peer->read(1).isEmpty());
    MainAppProtocolComm::GetInstance()->AppReady();
    QCOMPARE(m_out->count(RepeatLine), 1);
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_out->count(RepeatLine), 2);
}

void TestMainAppProtocolComm::appReadyOncePerConnection()
{
    QVERIFY(m_peer->connectLink(m_path));
    // A framework that says it is ready twice: the service hears it once.
    MainAppProtocolComm::GetInstance()->AppReady();
    MainAppProtocolComm::GetInstance()->AppReady();
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(32), AppReadyFrame + Heartbeat);
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
    struct stat stdinBefore;
    const bool stdinOpen = fstat(STDIN_FILENO, &stdinBefore) == 0;
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none {0, saved.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0);
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_path).constData(),
                                        m_peer->name().constData());
    MainAppProtocolComm::GetInstance()->Start();
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    // The start sequence goes on with no socket: the service still hears it first.
    MainAppProtocolComm::GetInstance()->AppReady();
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
    QCOMPARE(m_peer->read(32), AppReadyFrame + Heartbeat);
    QVERIFY(m_peer->write(normalFrame(28929, 3, 0)));
    QTRY_COMPARE(m_out->count(frameLine(28929, 3, 0)), 1);
    // One line for each change of state, none per attempt.
    const QByteArray down = "MCU link to " + m_peer->name()
        + " down: " + qt_error_string(EMFILE).toLocal8Bit() + "\n";
    const QByteArray up = "MCU link to " + m_peer->name() + " up again\n";
    QCOMPARE(QVector<int>({m_out->count(down), m_out->count(up)}), QVector<int>({1, 1}));
    QCOMPARE(m_out->count(identityLine(m_peer->name())), 1);
    // The socket made later is the link's only one: nothing else is closed in its
    // place, standard input least of all.
    struct stat stdinAfter;
    if (stdinOpen) {
        QCOMPARE(fstat(STDIN_FILENO, &stdinAfter), 0);
        QCOMPARE(stdinAfter.st_ino, stdinBefore.st_ino);
    }
    QCOMPARE(m_out->text().count("MCU link to"), 3);
}

void TestMainAppProtocolComm::longestNamesKeptWhole()
{
    // Both names as long as an address holds, so their last bytes count too;
    // this process has set shorter names before, which must leave nothing behind.
    const QByteArray longest = "@" + m_peer->name().mid(1)
        + QByteArray(int(UnixAddress::MaxNameLength) - m_peer->name().size(), 'n');
    m_peer = std::make_unique<McuPeer>(longest);
    const QByteArray dir = QFile::encodeName(m_dir.path()) + '/';
    m_path = QFile::decodeName(dir + QByteArray(int(UnixAddress::MaxNameLength) - dir.size(), 'p'));
    QVERIFY(m_peer->connectLink(m_path));
    QTRY_COMPARE(m_out->text(), identityLine(longest));
    QVERIFY(QFileInfo::exists(m_path));
}

void TestMainAppProtocolComm::linesLeaveAsTheyHappen()
{
    QVERIFY(m_peer->connectLink(m_path));
    // A log collector reads the link's lines through a pipe.
    QVERIFY(__flbf(stdout));
}

void TestMainAppProtocolComm::serviceRestartsMidFrame()
{
    QVERIFY(m_peer->connectLink(m_path));
    QVERIFY(m_peer->write(normalFrame(28929, 1, 10).left(10)));
    m_peer->closeConnection();
    QVERIFY(m_peer->accept(10000));
    // The old connection's partial frame must not be glued to the new stream.
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    const QByteArray link = "MCU link to " + m_peer->name();
    QTRY_COMPARE(m_out->text(),
                 identityLine(m_peer->name()) + "Main App invaild datalen:0\n" + link
                     + " down: connection closed\n" + identityLine(m_peer->name()) + link
                     + " up again\n" + frameLine(MSG_M2A_KEY_PRESSED, 5, 50));
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(16), Heartbeat);
}

void TestMainAppProtocolComm::deleteInstanceRefusedOnReader()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The framework, reacting to a key on the reader thread, tries to tear the
    // link down: refused, not half done, so the link goes on.
    onReaderRecord([] { MainAppProtocolComm::DeleteInstance(); });
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    QTRY_COMPARE(m_out->text(),
                 identityLine(m_peer->name()) + frameLine(MSG_M2A_KEY_PRESSED, 5, 50)
                     + "MainAppProtocolComm::DeleteInstance refused on the link's reader thread\n");
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(16), Heartbeat);
}

void TestMainAppProtocolComm::overSizeFrameInBurst()
{
    QVERIFY(m_peer->connectLink(m_path));
    // Read 268 bytes at a time, the 10252nd byte no longer fits behind the
    // waiting 10240-byte frame: that one is dropped, the frame behind it kept.
    // Static, so that it outlives the reader, which reads it.
    static const QByteArray burst = longHeader(2, 9, 10240) + QByteArray(10172, 0)
        + normalFrame(MSG_M2A_DISCARD, 7, 0) + QByteArray(52, 0);
    // Written while the reader is busy with the key, so it arrives whole.
    onReaderRecord([this] { m_peer->write(burst); });
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    QTRY_COMPARE(m_out->text(),
                 identityLine(m_peer->name()) + frameLine(MSG_M2A_KEY_PRESSED, 5, 50)
                     + frameLine(MSG_M2A_DISCARD, 7, 0)
                     + "=================>>>MainAppProtocolComm over size: 10240\n");
}

void TestMainAppProtocolComm::sendersRaceReader()
{
    QVERIFY(m_peer->connectLink(m_path));
    // For the reader to dispatch and answer meanwhile: long frames of every
    // length it frames, for CAN and of a type nobody handles; keys; requests.
    QByteArray stream, expected = identityLine(m_peer->name());
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
        for (;;) {
            const QByteArray chunk = m_peer->read(1 << 16, 200);
            if (chunk.isEmpty() && done)
                break;
            received += chunk;
        }
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
    int versionReplies = 0, at = 0;
    for (;;) {
        const QByteArray f = received.mid(at, 264);
        const int n = FrameCodec::outboundFrameLength(f);
        if (n <= 0)
            break;
        at += n;
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

void TestMainAppProtocolComm::appReadyFirstOnEachConnection_data()
{
    QTest::addColumn<Dial>("dial");
    QTest::newRow("at boot, after the start sequence's call") << AtBoot;
    QTest::newRow("service listening only after the start sequence") << ServiceLate;
    QTest::newRow("service restarted") << ServiceRestarted;
}

void TestMainAppProtocolComm::appReadyFirstOnEachConnection()
{
    QFETCH(Dial, dial);
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    if (dial == ServiceLate) {
        MainAppProtocolComm::setSocketNames(QFile::encodeName(m_path).constData(),
                                            m_peer->name().constData());
        link->Start();
        link->AppReady();
        QVERIFY(m_peer->listen());
    } else {
        QVERIFY(m_peer->connectLink(m_path));
        link->AppReady();
    }
    if (dial == ServiceRestarted) {
        QCOMPARE(m_peer->read(16), AppReadyFrame);
        m_peer->closeConnection();
    }
    // Senders from the start on: none may come before the new connection's AppReady.
    std::atomic<bool> done {false};
    std::thread sender([&] {
        while (!done) {
            send(Heartbeat);
            usleep(500);
        }
    });
    const auto joinSender = qScopeGuard([&] {
        done = true;
        sender.join();
    });
    if (dial != AtBoot)
        QVERIFY(m_peer->accept(10000));
    QCOMPARE(m_peer->read(16), AppReadyFrame);
    // And only one: the start sequence's call does not add a second.
    const QByteArray rest = m_peer->read(16 * 50);
    QVERIFY(rest.size() >= 16);
    QCOMPARE(rest, Heartbeat.repeated(rest.size() / 16));
}

// The build option, checked by CMake to be digits or nothing, read as text:
// whatever else it holds must not become a uid, least of all root's.
void TestMainAppProtocolComm::requiredServiceUid_data()
{
    QTest::addColumn<QByteArray>("option");
    QTest::addColumn<long>("uid");
    QTest::newRow("empty: any") << QByteArray() << -1L;
    QTest::newRow("root") << QByteArray("0") << 0L;
    QTest::newRow("nobody") << QByteArray("65534") << 65534L;
    QTest::newRow("leading zero, still decimal") << QByteArray("010") << 10L;
    QTest::newRow("trailing letter: any") << QByteArray("12x") << -1L;
    QTest::newRow("negative: any") << QByteArray("-5") << -1L;
    QTest::newRow("out of range: any") << QByteArray("99999999999999999999") << -1L;
}

void TestMainAppProtocolComm::requiredServiceUid()
{
    QFETCH(QByteArray, option);
    QFETCH(long, uid);
    const auto restoreUid = qScopeGuard(
        [] { MainAppProtocolComm::setRequiredServiceUid(LAUNCHER_MCU_SERVICE_UID); });
    MainAppProtocolComm::setRequiredServiceUid(option.constData());
    QCOMPARE(MainAppProtocolComm::requiredServiceUid(), uid);
}

void TestMainAppProtocolComm::serviceOfAnotherUid_data()
{
    QTest::addColumn<QByteArray>("requiredUid");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("no uid required") << QByteArray() << true;
    QTest::newRow("the required uid") << QByteArray("65534") << true;
    QTest::newRow("another uid than required") << QByteArray::number(getuid()) << false;
}

// A service under the uid and gid of nobody: a child of this process (no
// program is started, so it runs under user-mode emulation too). It takes
// connections one after the other, presses a key on each, and reports through
// a pipe how many bytes each connection brought it. Only system calls after
// the fork: the parent has threads.
static pid_t startServiceAsNobody(const QByteArray &name, int *report)
{
    const UnixAddress addr(name.constData());
    const QByteArray key = normalFrame(MSG_M2A_KEY_PRESSED, 0x12, 1);
    int ready[2], counts[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(counts, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const gid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0
            || setresuid(nobody, nobody, nobody) != 0)
            _exit(1);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listener, addr.address(), addr.length()) != 0 || listen(listener, 4))
            _exit(1);
        (void)!write(ready[1], "L", 1);
        for (;;) {
            const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            (void)!send(conn, key.constData(), size_t(key.size()), MSG_NOSIGNAL);
            int got = 0;
            char buffer[256];
            for (pollfd p {conn, POLLIN, 0}; poll(&p, 1, 1000) > 0;) {
                const ssize_t n = read(conn, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got += int(n);
            }
            close(conn);
            (void)!write(counts[1], &got, sizeof got);
        }
    }
    close(ready[1]);
    close(counts[1]);
    char listening = 0;
    const bool up = pid > 0 && read(ready[0], &listening, 1) == 1;
    close(ready[0]);
    *report = counts[0];
    return up ? pid : -1;
}

void TestMainAppProtocolComm::serviceOfAnotherUid()
{
    if (geteuid() != 0)
        QSKIP("running a service under another uid needs root");
    QFETCH(QByteArray, requiredUid);
    QFETCH(bool, accepted);
    const auto restoreUid = qScopeGuard(
        [] { MainAppProtocolComm::setRequiredServiceUid(LAUNCHER_MCU_SERVICE_UID); });
    MainAppProtocolComm::setRequiredServiceUid(requiredUid.constData());

    int report = -1;
    const pid_t service = startServiceAsNobody(m_peer->name(), &report);
    const auto stopService = qScopeGuard([&] {
        if (service > 0) {
            kill(service, SIGKILL);
            waitpid(service, nullptr, 0);
        }
        close(report);
    });
    QVERIFY(service > 0);
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_path).constData(),
                                        m_peer->name().constData());
    const int descriptors = entries("/proc/self/fd");
    MainAppProtocolComm::GetInstance()->Start();
    MainAppProtocolComm::GetInstance()->AppReady();

    const QByteArray identity = identityLine(m_peer->name(), service, 65534, 65534);
    const QByteArray refused = "MCU link to " + m_peer->name()
        + " refused: service uid 65534, required uid " + requiredUid + "\n";
    const QByteArray key = frameLine(MSG_M2A_KEY_PRESSED, 0x12, 1);
    if (accepted) {
        QTRY_COMPARE(m_out->text(), identity + key);
        return;
    }
    // Refused like a dial that found nobody: again after 100, 200, 400 ms, and
    // meanwhile nothing dispatched and nothing sent.
    QTRY_COMPARE_WITH_TIMEOUT(m_out->count(refused), 3, 5000);
    QCOMPARE(m_out->text().left(identity.size() + refused.size()), identity + refused);
    QCOMPARE(m_out->count(identity), 3);
    QCOMPARE(m_out->count(key), 0);
    // Each refused connection is closed: the link holds its one socket.
    QTRY_COMPARE(entries("/proc/self/fd"), descriptors + 1);
    int received = -1;
    QCOMPARE(read(report, &received, sizeof received), ssize_t(sizeof received));
    QCOMPARE(received, 0);
}

void TestMainAppProtocolComm::launcherEndsConnection()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The peer reads nothing: a frame larger than the socket takes goes out in
    // part, and the rest cannot follow within a second.
    QByteArray huge(4 << 20, '\x5a');
    QCOMPARE(MainAppProtocolComm::GetInstance()->SendData(huge.data(), huge.size()), -1);
    const QByteArray down = "MCU link to " + m_peer->name()
        + " down: closed by the launcher: a frame could not be sent whole\n";
    QTRY_COMPARE(m_out->count(down), 1);
    QVERIFY(m_peer->accept(10000));
    // The dial returns before the new connection is the link's.
    QTRY_COMPARE(m_out->count("MCU link to " + m_peer->name() + " up again\n"), 1);
    QCOMPARE(send(Heartbeat), 0);
    QCOMPARE(m_peer->read(16), Heartbeat);
    // The new connection is up, and its end is the service's, said as such.
    m_peer->closeConnection();
    QTRY_COMPARE(m_out->count("MCU link to " + m_peer->name() + " down: connection closed\n"), 1);
}

static qint64 threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void TestMainAppProtocolComm::fullSocketWaitsWithoutSpinning()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The peer reads nothing: the second allowed for the rest of the frame is
    // spent waiting for room, not retrying; on the unit the reader and the GUI
    // share the core with everything else.
    QByteArray huge(4 << 20, '\x5a');
    const qint64 cpuBefore = threadCpuMs();
    QCOMPARE(MainAppProtocolComm::GetInstance()->SendData(huge.data(), huge.size()), -1);
    const qint64 cpuMs = threadCpuMs() - cpuBefore;
    QVERIFY2(cpuMs < 200, QByteArray::number(cpuMs));
}

void TestMainAppProtocolComm::serviceGoneMidFrameEndsSendAtOnce()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The service reads nothing and then goes: the rest of the frame fails on a
    // broken connection at once, not after the second allowed for a full socket.
    std::thread service([this] {
        usleep(100000);
        m_peer->closeConnection();
    });
    QByteArray huge(4 << 20, '\x5a');
    QElapsedTimer timer;
    timer.start();
    const int result = MainAppProtocolComm::GetInstance()->SendData(huge.data(), huge.size());
    const qint64 ms = timer.elapsed();
    service.join();
    QCOMPARE(result, -1);
    QVERIFY2(ms < 700, QByteArray::number(ms));
}

void TestMainAppProtocolComm::restartSoak()
{
    enum Restart { MidFrame, AcceptedLate, RefusedOnce, Kinds };
    // Fewer when asked (the mutation run does), never fewer than one of each kind.
    const int Cycles = qMax(int(Kinds), qEnvironmentVariableIntValue("LINK_SOAK_CYCLES") ?: 150);
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    QVERIFY(m_peer->connectLink(m_path));
    link->AppReady();
    const int descriptors = entries("/proc/self/fd");
    const int threads = entries("/proc/self/task");

    // Senders run through every restart; they pause only while the service
    // drains a connection before it closes it, so that a frame the link
    // reported sent is either read or was sent into a connection already gone.
    std::atomic<bool> go {true}, done {false};
    std::atomic<int> busy {0};
    std::vector<quint32> failed[Senders];
    quint32 attempted[Senders] = {};
    std::vector<std::thread> senders;
    for (quint32 s = 0; s < Senders; ++s) {
        senders.emplace_back([&, s] {
            while (!done) {
                ++busy;
                if (!go) {
                    --busy;
                    usleep(200);
                    continue;
                }
                const quint32 seq = attempted[s]++;
                if (send(normalFrame(SenderMsg + s, seq, ~seq)) != 0)
                    failed[s].push_back(seq);
                --busy;
                usleep(300);
            }
        });
    }
    auto quiet = [&] {
        go = false;
        while (busy)
            usleep(100);
    };
    auto joinSenders = [&] {
        done = true;
        for (std::thread &sender : senders)
            sender.join();
        senders.clear();
    };
    const auto joinOnFailure = qScopeGuard(joinSenders);

    std::vector<quint32> arrived[Senders];
    // What one connection carried: one AppReady, first; then senders' frames.
    auto checkConnection = [&](const QByteArray &bytes, int cycle) {
        QVERIFY2(bytes.startsWith(AppReadyFrame), qPrintable(QString::number(cycle)));
        QCOMPARE(bytes.size() % 16, 0);
        for (int at = 16; at < bytes.size(); at += 16) {
            const QByteArray f = bytes.mid(at, 16);
            QVERIFY2(f != AppReadyFrame, "a second AppReady");
            const quint32 s = word(f, 4) - SenderMsg;
            QVERIFY(s < Senders && word(f, 12) == ~word(f, 8));
            arrived[s].push_back(word(f, 8));
        }
    };
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        QByteArray bytes = m_peer->read(1 << 16, 5);
        QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, quint32(cycle), 1)));
        quiet();
        bytes += m_peer->readAll(10);
        checkConnection(bytes, cycle);
        if (QTest::currentTestFailed())
            return;
        const Restart restart = Restart(cycle % Kinds);
        if (restart == MidFrame)
            QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 0xdead, 0).left(10)));
        m_peer->closeConnection();
        if (restart == RefusedOnce) {
            m_peer->stopListening();
            const int failedReads = m_out->text().count("-main app socket read failed");
            QTRY_VERIFY(m_out->text().count("-main app socket read failed") > failedReads);
            QVERIFY(m_peer->listen());
        }
        go = true;
        if (restart == AcceptedLate)
            usleep(150 * 1000);
        QVERIFY(m_peer->accept(10000));
    }
    quiet();
    checkConnection(m_peer->readAll(10), Cycles);
    joinSenders();

    // Every key dispatched once, whole: no half frame of a closed connection
    // glued to the next.
    QTRY_COMPARE(m_out->text().count("Main app normal msg:"), Cycles);
    for (int cycle = 0; cycle < Cycles; ++cycle)
        QCOMPARE(m_out->count(frameLine(MSG_M2A_KEY_PRESSED, quint32(cycle), 1)), 1);
    // Every frame a sender tried arrived, in order, or was reported failed, or
    // was dropped on the lock with its line.
    int lost = 0;
    for (quint32 s = 0; s < Senders; ++s) {
        QVERIFY(std::is_sorted(arrived[s].begin(), arrived[s].end()));
        std::vector<quint32> both;
        std::set_intersection(arrived[s].begin(), arrived[s].end(), failed[s].begin(),
                              failed[s].end(), std::back_inserter(both));
        QVERIFY(both.empty());
        lost += int(attempted[s] - arrived[s].size() - failed[s].size());
    }
    QCOMPARE(lost, m_out->count(RepeatLine));
    QCOMPARE(entries("/proc/self/fd"), descriptors);
    QCOMPARE(entries("/proc/self/task"), threads);
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

void TestMainAppProtocolComm::reconnectWaitDoubles_data()
{
    QTest::addColumn<int>("ends");
    QTest::addColumn<int>("waitMs");
    QTest::newRow("first end: 100 ms") << 1 << 100;
    QTest::newRow("second end at once: 200 ms") << 2 << 200;
    QTest::newRow("third end at once: 400 ms") << 3 << 400;
}

// Each connection that carries nothing ends: the wait before the next one,
// measured from the end, is at least the step and less than the step after.
void TestMainAppProtocolComm::reconnectWaitDoubles()
{
    QFETCH(int, ends);
    QFETCH(int, waitMs);
    QVERIFY(m_peer->connectLink(m_path));
    for (int end = 1; end < ends; ++end)
        QVERIFY(msToReconnect(m_peer.get()) >= 0);
    const qint64 ms = msToReconnect(m_peer.get());
    QVERIFY2(ms >= waitMs && ms < 2 * waitMs, QByteArray::number(ms));
}

void TestMainAppProtocolComm::readErrorTakesLinkDown()
{
    QVERIFY(m_peer->connectLink(m_path));
    // A service that goes with a frame of ours unread: the kernel tells the
    // reader so with a reset, not a plain end.
    QCOMPARE(send(Heartbeat), 0);
    m_peer->closeConnection();
    QTRY_COMPARE(m_out->text(),
                 identityLine(m_peer->name()) + "-main app socket read failed with error: "
                     + QByteArray::number(ECONNRESET) + "\nMCU link to " + m_peer->name()
                     + " down: " + qt_error_string(ECONNRESET).toLocal8Bit() + "\n");
}

void TestMainAppProtocolComm::frameInSingleBytes()
{
    QVERIFY(m_peer->connectLink(m_path));
    // A byte at a time, each most likely read on its own: a read of one byte is
    // data like any other.
    const QByteArray frame = normalFrame(MSG_M2A_KEY_PRESSED, 5, 50);
    for (char byte : frame) {
        QVERIFY(m_peer->write(QByteArray(1, byte)));
        QTest::qWait(10);
    }
    QTRY_COMPARE(m_out->text(),
                 identityLine(m_peer->name()) + frameLine(MSG_M2A_KEY_PRESSED, 5, 50));
}

void TestMainAppProtocolComm::stopIsNoLinkDown()
{
    QVERIFY(m_peer->connectLink(m_path));
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    const QByteArray before = identityLine(m_peer->name()) + frameLine(MSG_M2A_KEY_PRESSED, 5, 50);
    QTRY_COMPARE(m_out->text(), before);
    MainAppProtocolComm::DeleteInstance();
    // The read that Stop ends is said as every read is (unless the reader was
    // still in the framework), but the link was not lost.
    const QByteArray after = m_out->text();
    QVERIFY2(after == before || after == before + "Main App invaild datalen:0\n", after);
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

void TestMainAppProtocolComm::stopCutsWaitBeforeReconnect()
{
    QVERIFY(m_peer->connectLink(m_path));
    // Four connections end at once: the waits grow to 100, 200, 400, 800 ms.
    for (int i = 0; i < 4; ++i)
        QVERIFY(msToReconnect(m_peer.get()) >= 0);
    // The fifth end: the reader says so, then waits 1.6 s to dial again.
    m_peer->closeConnection();
    QTRY_COMPARE(m_out->count("Main App invaild datalen:0\n"), 5);
    QElapsedTimer timer;
    timer.start();
    MainAppProtocolComm::DeleteInstance();
    QVERIFY2(timer.elapsed() < 800, QByteArray::number(timer.elapsed()));
}

void TestMainAppProtocolComm::sendBetweenStopAndReaderEnd()
{
    QVERIFY(m_peer->connectLink(m_path));
    // The reader stays in the framework over the Stop, so the socket is still
    // open when the frame comes: refused, and the send lock given back, or the
    // reader could not finish and the teardown would hang.
    struct Gate
    {
        std::atomic<bool> first {true};
        QSemaphore inside, leave;
    };
    const auto gate = std::make_shared<Gate>();
    onReaderRecord([gate] {
        if (gate->first.exchange(false)) {
            gate->inside.release();
            gate->leave.acquire();
        }
    });
    QVERIFY(m_peer->write(normalFrame(MSG_M2A_KEY_PRESSED, 5, 50)));
    QVERIFY(gate->inside.tryAcquire(1, 5000));
    MainAppProtocolComm::GetInstance()->Stop();
    const int sent = send(Heartbeat);
    gate->leave.release();
    QCOMPARE(sent, -1);
    MainAppProtocolComm::DeleteInstance();
    QCOMPARE(m_peer->readAll(), QByteArray());
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
