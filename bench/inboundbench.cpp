// Inbound path: frames written into a socket pair by another thread, read 268
// bytes at a time and taken through the reassembly (and the dispatcher), next
// to a loop that only reads and next to the literal reassembly.
#include "benchutil.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/socket.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

#include "alloccounter.h"
#include "dltlog.h"
#include "framereassembler.h"
#include "literalreassembler.h"
#include "mainappprotocolcomm.h"

using zyappframework::MainAppProtocolComm;

namespace {

enum class Kind { Normal, Long20, Long268 };
enum class Chunking { OnePerWrite, ManyPerWrite, RandomSplit };
enum class Consumer { Raw, Ours, Literal, Full };

const char *name(Kind k)
{
    switch (k) {
    case Kind::Normal:
        return "normal16";
    case Kind::Long20:
        return "long20";
    case Kind::Long268:
        return "long268";
    }
    return "";
}

const char *name(Chunking c)
{
    switch (c) {
    case Chunking::OnePerWrite:
        return "one/write";
    case Chunking::ManyPerWrite:
        return "32/write";
    case Chunking::RandomSplit:
        return "random";
    }
    return "";
}

const char *name(Consumer c)
{
    switch (c) {
    case Consumer::Raw:
        return "raw";
    case Consumer::Ours:
        return "ours";
    case Consumer::Literal:
        return "literal";
    case Consumer::Full:
        return "full";
    }
    return "";
}

int frameSize(Kind k)
{
    return k == Kind::Normal ? 16 : k == Kind::Long20 ? 20 : 268;
}

void putWord(unsigned char *at, uint32_t v)
{
    std::memcpy(at, &v, 4);
}

// What the MCU sends most: key presses, short vehicle data, whole CAN frames.
// Each reaches a real handler of the dispatcher.
void buildFrame(Kind k, int i, unsigned char *at)
{
    const int size = frameSize(k);
    std::memset(at, 0, size_t(size));
    switch (k) {
    case Kind::Normal:
        putWord(at, MAIN_APP_TYPE_NORMAL);
        putWord(at + 4, MSG_M2A_KEY_PRESSED);
        putWord(at + 8, uint32_t(i & 0xff));
        putWord(at + 12, 1);
        break;
    case Kind::Long20:
        putWord(at, MAIN_APP_TYPE_MCU);
        putWord(at + 4, MSG_M2A_BASE_DATA);
        putWord(at + 8, 20);
        break;
    case Kind::Long268:
        putWord(at, MAIN_APP_TYPE_CAN);
        putWord(at + 4, 0x123);
        putWord(at + 8, 268);
        break;
    }
    for (int b = 12; b < size; ++b)
        at[b] = static_cast<unsigned char>(i + b);
}

struct Stream
{
    std::vector<unsigned char> bytes;
    std::vector<int> writes;
    long frames = 0;
};

Stream buildStream(Kind k, Chunking c, long frames)
{
    Stream s;
    s.frames = frames;
    const int size = frameSize(k);
    s.bytes.resize(size_t(size) * size_t(frames));
    for (long i = 0; i < frames; ++i)
        buildFrame(k, int(i), s.bytes.data() + size_t(i) * size_t(size));
    const long total = long(s.bytes.size());
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> split(1, 2 * FrameReassembler::MaxRead);
    for (long at = 0; at < total;) {
        int n = c == Chunking::OnePerWrite ? size
            : c == Chunking::ManyPerWrite  ? 32 * size
                                           : split(random);
        n = int(std::min<long>(n, total - at));
        s.writes.push_back(n);
        at += n;
    }
    return s;
}

void writeAll(int fd, const Stream &s)
{
    const unsigned char *p = s.bytes.data();
    for (int n : s.writes) {
        int left = n;
        while (left > 0) {
            const ssize_t w = write(fd, p, size_t(left));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;
            p += w;
            left -= int(w);
        }
    }
}

// Keeps the compiler from dropping the work on the delivered frames.
std::atomic<uint32_t> s_sink {0};

// The consumers: each reads until total bytes have arrived and returns the
// number of frames it handed over. noinline so callgrind sees each whole.
__attribute__((noinline)) long consumeRaw(int fd, long total)
{
    unsigned char buffer[FrameReassembler::MaxRead];
    long got = 0;
    long reads = 0;
    while (got < total) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += n;
        ++reads;
    }
    s_sink.fetch_add(buffer[0], std::memory_order_relaxed);
    return reads;
}

__attribute__((noinline)) long consumeOurs(int fd, long total, FrameReassembler &reassembler)
{
    unsigned char buffer[FrameReassembler::MaxRead];
    long got = 0;
    long frames = 0;
    uint32_t sink = 0;
    while (got < total) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += n;
        reassembler.append(buffer, int(n), [&](unsigned char *frame) {
            sink += frame[4];
            ++frames;
        });
    }
    s_sink.fetch_add(sink, std::memory_order_relaxed);
    return frames;
}

__attribute__((noinline)) long consumeLiteral(int fd, long total, LiteralReassembler &reassembler)
{
    unsigned char buffer[FrameReassembler::MaxRead];
    long got = 0;
    long frames = 0;
    uint32_t sink = 0;
    while (got < total) {
        // The literal loop zeroes its read buffer before every read.
        std::memset(buffer, 0, sizeof buffer);
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += n;
        reassembler.append(buffer, int(n), [&](unsigned char *frame) {
            sink += frame[4];
            ++frames;
        });
    }
    s_sink.fetch_add(sink, std::memory_order_relaxed);
    return frames;
}

__attribute__((noinline)) long consumeFull(int fd, long total, FrameReassembler &reassembler,
                                           MainAppProtocolComm *link)
{
    unsigned char buffer[FrameReassembler::MaxRead];
    long got = 0;
    long frames = 0;
    while (got < total) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += n;
        reassembler.append(buffer, int(n), [&](unsigned char *frame) {
            link->resolvePacket(frame);
            ++frames;
        });
    }
    return frames;
}

struct Run
{
    long handed = 0; // frames handed over (reads for the raw loop)
    int64_t wallNs = 0;
    int64_t cpuNs = 0; // the reading thread's CPU time
    long allocs = 0; // the reading thread's heap allocations
};

bool s_realtime = false;

// Reader and writer each on a core of their own, when there are two, and
// ahead of ordinary processes when allowed: on a shared machine a migration
// or a preemption in the middle of a run costs more than the work measured.
// Both threads block in read/write, so they never starve anyone for long.
void pinTo(int cpu)
{
    if (std::thread::hardware_concurrency() >= 2) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    sched_param param {};
    param.sched_priority = 10;
    s_realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void unpin()
{
    sched_param param {};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i)
        CPU_SET(i, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// prefill: the whole stream is in the socket before the first read, so every
// read returns a full 268 bytes and the instruction count does not depend on
// how the threads happened to be scheduled (callgrind runs them in turn).
Run runOnce(const Stream &s, Consumer c, bool prefill = false)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    // Built before the clock starts: the reader's state exists before its first read.
    static FrameReassembler *ours = nullptr;
    static LiteralReassembler *literal = nullptr;
    delete ours;
    delete literal;
    ours = new FrameReassembler;
    literal = new LiteralReassembler;
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();

    // The writer waits for the start blocked, not spinning: on a small
    // machine a spinning writer would take the reader's core.
    std::mutex startLock;
    startLock.lock();
    if (prefill) {
        const int size = 256 << 20;
        if (setsockopt(fds[1], SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
            std::perror("SO_SNDBUFFORCE (needs root)");
            prefill = false;
        }
    }
    std::thread writer([&] {
        pinTo(1);
        startLock.lock();
        startLock.unlock();
        if (!prefill)
            writeAll(fds[1], s);
    });
    if (prefill)
        writeAll(fds[1], s);

    const long total = long(s.bytes.size());
    Run r;
    const long allocs0 = AllocCounter::thisThread();
    const int64_t cpu0 = Bench::threadCpuNs();
    const int64_t t0 = Bench::nowNs();
    startLock.unlock();
    switch (c) {
    case Consumer::Raw:
        r.handed = consumeRaw(fds[0], total);
        break;
    case Consumer::Ours:
        r.handed = consumeOurs(fds[0], total, *ours);
        break;
    case Consumer::Literal:
        r.handed = consumeLiteral(fds[0], total, *literal);
        break;
    case Consumer::Full:
        r.handed = consumeFull(fds[0], total, *ours, link);
        break;
    }
    r.wallNs = Bench::nowNs() - t0;
    r.cpuNs = Bench::threadCpuNs() - cpu0;
    r.allocs = AllocCounter::thisThread() - allocs0;
    writer.join();
    close(fds[0]);
    close(fds[1]);
    if (c != Consumer::Raw && r.handed != s.frames) {
        std::fprintf(stderr, "%s handed over %ld frames of %ld\n", name(c), r.handed, s.frames);
        std::exit(1);
    }
    return r;
}

long framesFor(Kind k)
{
    // About 600 KB of stream, at least 20,000 frames.
    return std::max(20000L, 600000L / frameSize(k));
}

const Kind Kinds[] = {Kind::Normal, Kind::Long20, Kind::Long268};
const Chunking Chunkings[] = {Chunking::OnePerWrite, Chunking::ManyPerWrite, Chunking::RandomSplit};
const Consumer Consumers[] = {Consumer::Raw, Consumer::Ours, Consumer::Literal, Consumer::Full};

} // namespace

int Bench::runInbound(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    silenceStdout();
    FILE *o = out();
    std::fprintf(
        o, "# inbound: best of %d interleaved rounds; rate = frames/s (wall), cpu = reader thread ns/frame\n",
        rounds);
    std::fprintf(o, "%-9s %-10s %10s %10s %10s %10s | %6s %6s | %7s %7s | %8s %8s %8s %8s | %6s\n",
                 "frames", "chunking", "raw/s", "ours/s", "literal/s", "full/s", "o/raw", "o/raw",
                 "o/lit", "o/lit", "raw ns", "ours ns", "lit ns", "full ns", "full%");
    std::fprintf(o, "%-9s %-10s %10s %10s %10s %10s | %6s %6s | %7s %7s | %8s %8s %8s %8s | %6s\n",
                 "", "", "", "", "", "", "wall", "cpu", "wall", "cpu", "cpu", "cpu", "cpu", "cpu",
                 "@4500");
    double worstRatio = 1e9;
    double worstCpuRatio = 1e9;
    for (Kind k : Kinds) {
        for (Chunking c : Chunkings) {
            const Stream s = buildStream(k, c, framesFor(k));
            pinTo(0);
            std::vector<double> rate[4], cpu[4];
            runOnce(s, Consumer::Full); // warm-up: stdout buffer, singletons
            for (int r = 0; r < rounds; ++r) {
                for (Consumer con : Consumers) {
                    const Run run = runOnce(s, con);
                    const int i = int(con);
                    rate[i].push_back(double(s.frames) * 1e9 / double(run.wallNs));
                    cpu[i].push_back(double(run.cpuNs) / double(s.frames));
                }
            }
            double bestRate[4], bestCpu[4];
            for (int i = 0; i < 4; ++i) {
                bestRate[i] = best(rate[i], true);
                bestCpu[i] = best(cpu[i], false);
            }
            const double oursVsRaw = bestRate[1] / bestRate[0];
            worstRatio = std::min(worstRatio, oursVsRaw);
            worstCpuRatio = std::min(worstCpuRatio, bestCpu[0] / bestCpu[1]);
            // The full path's share of one core at a saturated CAN bus.
            const double share = bestCpu[3] * 4500.0 / 1e9 * 100.0;
            std::fprintf(o,
                         "%-9s %-10s %10.0f %10.0f %10.0f %10.0f | %6.3f %6.3f | %7.2f %7.2f | "
                         "%8.0f %8.0f %8.0f %8.0f | %5.2f%%\n",
                         name(k), name(c), bestRate[0], bestRate[1], bestRate[2], bestRate[3],
                         oursVsRaw, bestCpu[0] / bestCpu[1], bestRate[1] / bestRate[2],
                         bestCpu[2] / bestCpu[1], bestCpu[0], bestCpu[1], bestCpu[2], bestCpu[3],
                         share);
        }
    }
    unpin();
    std::fprintf(o, "inbound: reader and writer threads %s\n",
                 s_realtime ? "pinned to cores 0 and 1, SCHED_FIFO"
                            : "pinned, ordinary priority (no realtime allowed)");
    std::fprintf(o,
                 "inbound: reassembly / raw loop frame rate, worst case: wall %.3f, reader cpu "
                 "%.3f (target >= 0.85)\n",
                 worstRatio, worstCpuRatio);
    return 0;
}

int Bench::runCallgrind(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const std::string which = argv[1];
    const long frames = std::atol(argv[2]);
    const Kind k = argc > 3 && !std::strcmp(argv[3], "long268") ? Kind::Long268
        : argc > 3 && !std::strcmp(argv[3], "long20")           ? Kind::Long20
                                                                : Kind::Normal;
    silenceStdout();
    Consumer c = Consumer::Raw;
    for (Consumer con : Consumers)
        if (which == name(con))
            c = con;
    const Stream s = buildStream(k, Chunking::ManyPerWrite, frames);
    const Run run = runOnce(s, c, true);
    std::fprintf(out(), "callgrind: %s %s frames=%ld reads/handed=%ld\n", name(c), name(k), frames,
                 run.handed);
    return 0;
}

int Bench::runAllocations(int, char **)
{
    silenceStdout();
    FILE *o = out();
    // The counter must see what libraries allocate, or its zeros mean nothing.
    const long probe0 = AllocCounter::thisThread();
    {
        std::string text(100, 'x');
        std::vector<int> *v = new std::vector<int>(64);
        delete v;
        s_sink.fetch_add(uint32_t(text.size()), std::memory_order_relaxed);
        void *(*volatile allocate)(size_t) = std::malloc;
        void *q = allocate(64);
        std::free(q);
    }
    const long probed = AllocCounter::thisThread() - probe0;
    std::fprintf(o, "alloc: self-check, 4 known allocations counted as %ld\n", probed);
    if (probed < 3)
        return 1;
    long worst = 0;
    for (Kind k : Kinds) {
        for (Consumer c : {Consumer::Ours, Consumer::Full}) {
            const Stream s = buildStream(k, Chunking::RandomSplit, 20000);
            runOnce(s, c); // warm-up: stdout's buffer, the singletons
            const Run run = runOnce(s, c);
            worst = std::max(worst, run.allocs);
            std::fprintf(o,
                         "alloc: inbound %-8s %-4s %ld frames, %ld heap allocations on the reader "
                         "thread (%.4f per frame)\n",
                         name(k), name(c), s.frames, run.allocs,
                         double(run.allocs) / double(s.frames));
        }
    }
    worst = std::max(worst, reportOutboundAllocations());
    std::fprintf(o, "alloc: worst steady-state count: %ld (target 0)\n", worst);
    return 0;
}

int Bench::runDlt(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const char *label = argc > 2 ? argv[2] : "";
    silenceStdout();
    FILE *o = out();
    // Registered as the launcher is; daemon and levels come from the environment.
    DltLog dlt;
    // A daemon's levels reach the library up to half a second after registering.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (Kind k : Kinds) {
        const Stream s = buildStream(k, Chunking::ManyPerWrite, framesFor(k));
        runOnce(s, Consumer::Full); // warm-up: stdout's buffer, the singletons
        std::vector<double> cpu;
        long allocs = 0;
        for (int r = 0; r < rounds; ++r) {
            const Run run = runOnce(s, Consumer::Full);
            cpu.push_back(double(run.cpuNs) / double(s.frames));
            allocs = std::max(allocs, run.allocs);
        }
        std::fprintf(o,
                     "dlt: %-22s %-8s %8.1f ns CPU/frame (median of %d) %8.3f allocations/frame\n",
                     label, name(k), median(cpu), rounds, double(allocs) / double(s.frames));
    }
    return 0;
}
