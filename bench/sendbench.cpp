// Send path: SendData through a started link to a peer that reads as fast as
// it can, from 1, 2 and 4 threads; frames lost to the send lock's 50 ms
// timeout and to a full socket are counted apart.
#include "benchutil.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "alloccounter.h"
#include "mainappprotocolcomm.h"
#include "unixaddress.h"

using zyappframework::MainAppProtocolComm;

namespace {

// The MCU service's end: an abstract listening socket and a reader thread
// that only counts bytes.
class Peer
{
public:
    Peer()
    {
        m_name = "@launcher-bench-" + std::to_string(getpid());
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const UnixAddress addr(m_name.data(), m_name.size());
        if (bind(m_listen, addr.address(), addr.length()) != 0 || listen(m_listen, 1) != 0) {
            std::perror("peer listen");
            std::exit(1);
        }
    }
    ~Peer()
    {
        stop();
        close(m_listen);
    }
    const std::string &name() const { return m_name; }

    bool accept(int timeoutMs)
    {
        pollfd pfd {m_listen, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) != 1)
            return false;
        m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (m_conn < 0)
            return false;
        m_reader = std::thread([this] {
            static unsigned char buffer[65536];
            for (;;) {
                const ssize_t n = read(m_conn, buffer, sizeof buffer);
                if (n > 0) {
                    m_bytes.fetch_add(n, std::memory_order_relaxed);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                return;
            }
        });
        return true;
    }

    long bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // Waits until the byte count stops moving.
    long settled() const
    {
        long last = -1;
        for (;;) {
            const long now = bytes();
            if (now == last)
                return now;
            last = now;
            usleep(20000);
        }
    }

    void stop()
    {
        if (m_conn >= 0)
            shutdown(m_conn, SHUT_RDWR);
        if (m_reader.joinable())
            m_reader.join();
        if (m_conn >= 0)
            close(m_conn);
        m_conn = -1;
    }

private:
    std::string m_name;
    int m_listen = -1;
    int m_conn = -1;
    std::thread m_reader;
    std::atomic<long> m_bytes {0};
};

struct SendResult
{
    long attempted = 0;
    long returnedOk = 0; // SendData returned 0: sent, or dropped at the lock
    long returnedFail = 0; // -1: the socket was full, nothing of the frame went out
    long received = 0;
    int64_t wallNs = 0;
    long allocs = 0; // heap allocations on the sending threads
};

// pauseUs > 0: each sender waits that long after each frame, a load the peer keeps up with.
SendResult sendFrom(MainAppProtocolComm *link, Peer &peer, int threads, int64_t durationNs,
                    int pauseUs = 0)
{
    const long bytes0 = peer.settled();
    SendResult r;
    std::atomic<bool> go {false};
    std::atomic<bool> stop {false};
    std::atomic<long> attempted {0}, ok {0}, fail {0}, allocs {0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            unsigned char frame[MAIN_APP_NORMAL_MSG_SIZE];
            const uint32_t words[4] = {MAIN_APP_TYPE_NORMAL, MSG_A2M_CMD, uint32_t(t), 0};
            std::memcpy(frame, words, sizeof frame);
            long a = 0, good = 0, bad = 0;
            while (!go.load(std::memory_order_acquire)) { }
            const long allocs0 = AllocCounter::thisThread();
            while (!stop.load(std::memory_order_relaxed)) {
                const int result = link->SendData(frame, sizeof frame);
                ++a;
                if (result == 0)
                    ++good;
                else
                    ++bad;
                if (pauseUs > 0)
                    usleep(unsigned(pauseUs));
            }
            allocs += AllocCounter::thisThread() - allocs0;
            attempted += a;
            ok += good;
            fail += bad;
        });
    }
    const int64_t t0 = Bench::nowNs();
    go.store(true, std::memory_order_release);
    while (Bench::nowNs() - t0 < durationNs)
        usleep(1000);
    stop.store(true);
    for (auto &s : senders)
        s.join();
    r.wallNs = Bench::nowNs() - t0;
    r.attempted = attempted;
    r.returnedOk = ok;
    r.returnedFail = fail;
    r.allocs = allocs;
    r.received = (peer.settled() - bytes0) / MAIN_APP_NORMAL_MSG_SIZE;
    return r;
}

struct LinkUnderTest
{
    Peer peer;
    MainAppProtocolComm *link = nullptr;

    LinkUnderTest()
    {
        const std::string local = "/tmp/launcher-bench-" + std::to_string(getpid()) + ".sock";
        MainAppProtocolComm::setSocketNames(local.c_str(), peer.name().c_str());
        link = MainAppProtocolComm::GetInstance();
        link->Start();
        if (!peer.accept(5000)) {
            std::fprintf(stderr, "send: the link did not connect\n");
            std::exit(1);
        }
        m_local = local;
    }
    ~LinkUnderTest()
    {
        link->Stop();
        // The reader leaves its blocking read when the peer goes.
        peer.stop();
        MainAppProtocolComm::DeleteInstance();
        unlink(m_local.c_str());
    }

private:
    std::string m_local;
};

} // namespace

int Bench::runSend(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    silenceStdout();
    FILE *o = out();
    LinkUnderTest lut;
    // Warm-up: the lock's first use, stdout's buffer.
    sendFrom(lut.link, lut.peer, 1, 50000000);
    std::fprintf(
        o, "# send: %.1f s per case, 16-byte frames through SendData to a peer reading 64 KB at a time\n",
        seconds);
    std::fprintf(o, "%-8s %12s %12s %14s %14s %10s\n", "threads", "frames/s", "received",
                 "lock drops", "full drops", "allocs");
    long totalLockDrops = 0;
    double oneThread = 0;
    for (int threads : {1, 2, 4}) {
        const SendResult r = sendFrom(lut.link, lut.peer, threads, int64_t(seconds * 1e9));
        const long lockDrops = r.returnedOk - r.received;
        totalLockDrops += lockDrops;
        const double rate = double(r.received) * 1e9 / double(r.wallNs);
        if (threads == 1)
            oneThread = rate;
        std::fprintf(o, "%-8d %12.0f %12ld %14ld %14ld %10ld   (x%.2f of 1 thread)\n", threads,
                     rate, r.received, lockDrops, r.returnedFail, r.allocs, rate / oneThread);
    }
    long paced = 0;
    for (int threads : {1, 2, 4}) {
        const SendResult r = sendFrom(lut.link, lut.peer, threads, int64_t(seconds * 1e9), 100);
        const long lockDrops = r.returnedOk - r.received;
        totalLockDrops += lockDrops;
        paced += lockDrops + r.returnedFail;
        std::fprintf(
            o, "%-8s %12.0f %12ld %14ld %14ld %10ld   (paced: 100 us between frames per thread)\n",
            (std::to_string(threads) + "p").c_str(), double(r.received) * 1e9 / double(r.wallNs),
            r.received, lockDrops, r.returnedFail, r.allocs);
    }
    std::fprintf(o,
                 "send: frames dropped by the 50 ms lock timeout: %ld (target 0); "
                 "frames lost in any way while the peer keeps up (paced): %ld\n",
                 totalLockDrops, paced);
    return 0;
}

long Bench::reportOutboundAllocations()
{
    LinkUnderTest lut;
    MainAppProtocolComm *link = lut.link;
    unsigned char payload[200];
    std::memset(payload, 0x5a, sizeof payload);
    auto each = [&](int i) {
        link->SendDataToMcu(MSG_A2M_CMD, 7, unsigned(i));
        link->SendCurSrcToMcu(i % 8, 3);
        link->SendLongDataToMcu(0x42, payload, sizeof payload);
        link->SendLongDataToCAN(0x43, payload, 8);
        link->SendTimeClockToMcu(MSG_A2M_TIME_CLOCK, unsigned(i));
    };
    const int frames = 5000;
    for (int i = 0; i < 100; ++i)
        each(i);
    lut.peer.settled();
    const long allocs0 = AllocCounter::thisThread();
    for (int i = 0; i < frames; ++i) {
        each(i);
        // Keep the peer ahead, so no frame meets a full socket.
        if (i % 64 == 63)
            usleep(200);
    }
    const long allocs = AllocCounter::thisThread() - allocs0;
    std::fprintf(out(),
                 "alloc: outbound %d frames (SendDataToMcu, SendCurSrcToMcu, SendLongDataToMcu, "
                 "SendLongDataToCAN, SendTimeClockToMcu), %ld heap allocations (%.4f per frame)\n",
                 frames * 5, allocs, double(allocs) / (frames * 5.0));
    return allocs;
}
