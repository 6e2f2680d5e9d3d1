// libFuzzer target: arbitrary bytes, cut into reads of sizes the input itself
// chooses, through the reader's reassembly and the inbound dispatcher into the
// desktop framework.
//
// Input layout: byte 0 picks the largest read (1 to 268 bytes), byte 1 seeds
// the sizes of the reads; the rest is the byte stream from the MCU service.
//
// Oracles, besides the sanitizers:
//  - the reassembler hands over exactly the records of the plain framing model,
//    and keeps every byte after its pending ones zero;
//  - every frame is handed to the dispatcher in an allocation of exactly its
//    size, so any read past the frame is a heap overflow;
//  - the replies the dispatcher sends reach a peer that parses them: a reply
//    that is not a whole outbound frame aborts.

#include <QCoreApplication>
#include <QDir>
#include <QtEndian>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "framereassembler.h"
#include "framingmodel.h"
#include "journal.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "systemclock.h"

using zyappframework::MainAppProtocolComm;

namespace {

class RecordingClock : public SystemClock
{
public:
    int setTime(int64_t seconds) override
    {
        last.store(seconds);
        return 0;
    }
    std::atomic<int64_t> last {0};
};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_mculink: %s\n", what);
    abort();
}

// Reads the launcher's replies off the peer's end and insists on whole frames:
// 16 bytes for type 1, 264 for types 2 and 3, nothing else.
void drainReplies(int fd)
{
    std::vector<unsigned char> stream;
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        stream.insert(stream.end(), buf, buf + n);
        size_t at = 0;
        while (stream.size() - at >= 4) {
            const quint32 type = qFromLittleEndian<quint32>(stream.data() + at);
            size_t size = 0;
            if (type == MAIN_APP_TYPE_NORMAL)
                size = MAIN_APP_NORMAL_MSG_SIZE;
            else if (type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN)
                size = MAIN_APP_LONG_MSG_SIZE;
            else
                fail("reply stream out of step: not a frame start");
            if (stream.size() - at < size)
                break;
            at += size;
        }
        stream.erase(stream.begin(), stream.begin() + long(at));
    }
}

struct Harness
{
    RecordingClock clock;
    McuPeer peer;
    MainAppProtocolComm *link = nullptr;
    FrameReassembler reassembler;
};

Harness *s_harness = nullptr;

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static char name[] = "fuzz_mculink";
    static char *argv[] = {name, nullptr};
    static int argc = 1;

    // Settings the dispatcher reads go to a directory of the run's own.
    static char configDir[] = "/tmp/fuzz_mculink.XXXXXX";
    if (!mkdtemp(configDir))
        fail("no temporary directory");
    setenv("XDG_CONFIG_HOME", configDir, 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QCoreApplication(argc, argv);
    if (!getenv("FUZZ_VERBOSE")) {
        qInstallMessageHandler(discardMessage);
        // The link prints a line per frame; libFuzzer reports on stderr.
        const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }

    s_harness = new Harness;
    SystemClock::setInstance(&s_harness->clock);

    // The link is started against a peer of our own so that the dispatcher's
    // replies take the real send path. Its reader stays blocked in read: the
    // peer never writes, the bytes come in through resolvePacket below.
    if (!s_harness->peer.listen())
        fail("peer cannot listen");
    const QByteArray localPath = QByteArray(configDir) + "/_vartk";
    MainAppProtocolComm::setSocketNames(localPath.constData(), s_harness->peer.name().constData());
    s_harness->link = MainAppProtocolComm::GetInstance();
    s_harness->link->Start();
    if (!s_harness->peer.accept())
        fail("link did not connect");
    std::thread(drainReplies, s_harness->peer.fd()).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int maxChunk = 1 + data[0] * FrameReassembler::MaxRead / 256;
    uint32_t rng = 0x9e3779b9u ^ (uint32_t(data[1]) * 0x01000193u);
    data += 2;
    size -= 2;

    Harness &h = *s_harness;
    h.reassembler.reset();
    FramingModel model;

    size_t at = 0;
    while (at < size) {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        const int n = int(qMin<size_t>(size - at, 1 + rng % uint32_t(maxChunk)));
        const QList<QByteArray> expected = model.append(
            QByteArray(reinterpret_cast<const char *>(data + at), n));
        int delivered = 0;
        h.reassembler.append(data + at, n, [&](unsigned char *frame) {
            if (delivered >= expected.size())
                fail("reassembler handed over a frame the framing rules do not give");
            const QByteArray &want = expected.at(delivered++);
            if (std::memcmp(frame, want.constData(), size_t(want.size())) != 0)
                fail("reassembler handed over other bytes than the framing rules give");
            std::vector<unsigned char> exact(frame, frame + want.size());
            h.link->resolvePacket(exact.data());
        });
        if (delivered != expected.size())
            fail("reassembler held back a frame the framing rules complete");
        if (h.reassembler.pending() != model.buffered().size()
            || std::memcmp(h.reassembler.buffer(), model.buffered().constData(),
                           size_t(model.buffered().size()))
                != 0)
            fail("reassembler keeps other bytes than the framing rules");
        at += size_t(n);
    }
    // One comparison, not a loop: a loop would drown the run in coverage callbacks.
    static const unsigned char zeros[FrameReassembler::Capacity] = {};
    const int pending = h.reassembler.pending();
    if (std::memcmp(h.reassembler.buffer() + pending, zeros,
                    size_t(FrameReassembler::Capacity - pending))
        != 0)
        fail("byte after the pending ones is not zero");
    Journal::instance()->clear();
    return 0;
}
