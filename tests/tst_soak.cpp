// A long stream of mixed frames in random chunks through the real link: each
// frame reaches the framework once, whole and in order, and memory stays flat.
// SOAK_FRAMES sets the length (default a million); SOAK_IGNORE_RSS skips the
// memory check where an instrumented allocator makes it meaningless.

#include "clockrecorder.h"
#include "journal.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <random>
#include <thread>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

namespace {

enum Kind { Key, LongMcu, Can, UnknownType, Discarded, OtherNormal };

Kind kindOf(quint32 seq)
{
    static const Kind pattern[] = {Key, LongMcu, Key, Can, UnknownType, Key, Discarded, OtherNormal};
    return pattern[(seq * 2654435761u >> 7) % 8];
}

// Frames of unknown type and discarded ones leave no trace in the journal.
bool leavesTrace(quint32 seq)
{
    return kindOf(seq) != UnknownType && kindOf(seq) != Discarded;
}

QByteArray frameFor(quint32 seq)
{
    switch (kindOf(seq)) {
    case Key:
        return normalFrame(MSG_M2A_KEY_PRESSED, seq, seq ^ 0x5a5a);
    case LongMcu:
        return longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_BASE_DATA, pattern(int(seq % 257), int(seq)));
    case Can:
        return longFrame(MAIN_APP_TYPE_CAN, seq, pattern(int(seq % 100), int(seq)));
    case UnknownType:
        return longFrame(9, seq, pattern(int(seq % 50), int(seq)));
    case Discarded:
        return normalFrame(MSG_M2A_DISCARD, seq, 0);
    case OtherNormal:
        break;
    }
    return normalFrame(0x1234, seq, ~seq);
}

// Whether the journal entry is the call frame seq should cause.
bool matches(quint32 seq, const Journal::Entry &e)
{
    switch (kindOf(seq)) {
    case Key:
        return e.call == QLatin1String("BaseControl::sendMcuKeyPressedSignal") && e.args.value(0).toUInt() == seq
            && e.args.value(1).toUInt() == (seq ^ 0x5a5a);
    case LongMcu:
    case Can:
        return e.call == QLatin1String(kindOf(seq) == Can ? "ActivityManager::handleCanMsg" : "BaseControl::RecevieMsgFromMcu")
            && e.args.value(0).toByteArray() == mcuRecord(frameFor(seq));
    case OtherNormal:
        return e.call == QLatin1String("ActivityManager::handleMcuMsg") && e.args.value(2).toUInt() == seq
            && e.args.value(3).toUInt() == ~seq;
    default:
        return false;
    }
}

qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    const int at = text.indexOf("VmRSS:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SystemClock::setInstance(&m_clock); }
    void millionFrames();

private:
    ClockRecorder m_clock;
};

void TestSoak::millionFrames()
{
    const int frames = qEnvironmentVariableIntValue("SOAK_FRAMES");
    const quint32 total = frames > 0 ? quint32(frames) : 1000000;
    quint32 observableEnd = total;
    while (observableEnd > 0 && !leavesTrace(observableEnd - 1))
        --observableEnd;

    // The link prints a line per normal frame; nobody reads them here.
    fflush(stdout);
    struct Restore {
        int fd = dup(STDOUT_FILENO);
        ~Restore()
        {
            fflush(stdout);
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    } restore;
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);

    // Follows the journal on the reader thread and holds every entry against
    // the frame that should have caused it.
    std::atomic<quint32> next{0};
    std::atomic<bool> failed{false};
    QString failure;
    QObject context;
    Journal::instance()->clear();
    connect(Journal::instance(), &Journal::recorded, &context, [&] {
        const QVector<Journal::Entry> entries = Journal::instance()->entries();
        Journal::instance()->clear();
        for (const Journal::Entry &e : entries) {
            if (failed || e.call == QLatin1String("ActivityManager::self"))
                continue;
            quint32 seq = next;
            while (!leavesTrace(seq))
                ++seq;
            if (!matches(seq, e)) {
                failure = QStringLiteral("frame %1: unexpected %2").arg(seq).arg(e.call);
                failed = true;
            }
            next = seq + 1;
        }
    }, Qt::DirectConnection);

    QTemporaryDir dir;
    McuPeer peer;
    QVERIFY(peer.listen());
    MainAppProtocolComm::setSocketNames(QFile::encodeName(dir.filePath("link")).constData(), peer.name().constData());
    MainAppProtocolComm::GetInstance()->Start();
    struct Delete {
        ~Delete() { MainAppProtocolComm::DeleteInstance(); }
    } deleteLink;
    QVERIFY(peer.accept());

    std::atomic<bool> stop{false};
    QElapsedTimer timer;
    timer.start();
    std::thread writer([&] {
        std::mt19937 rng(20261206);
        std::uniform_int_distribution<int> chunkSize(1, 700);
        QByteArray pending;
        for (quint32 seq = 0; seq < total && !stop; ++seq) {
            pending += frameFor(seq);
            if (pending.size() < 4096 && seq + 1 < total)
                continue;
            // Random cuts, so frames straddle the reader's reads in every way.
            for (int at = 0, n; at < pending.size(); at += n) {
                n = qMin(chunkSize(rng), int(pending.size()) - at);
                if (!peer.write(pending.mid(at, n)))
                    return;
            }
            pending.clear();
        }
    });
    struct Join {
        std::thread &t;
        std::atomic<bool> &stop;
        ~Join()
        {
            stop = true;
            t.join();
        }
    } join{writer, stop};

    // Memory is measured from a point where every buffer and cache has grown to its size.
    QTRY_VERIFY_WITH_TIMEOUT(next >= total / 10 || failed, 60000);
    const qint64 rssWarm = rssKb();
    QTRY_VERIFY_WITH_TIMEOUT(next >= observableEnd || failed, 1200000);
    const qint64 elapsed = timer.elapsed();
    const qint64 rssEnd = rssKb();
    QVERIFY2(!failed, qPrintable(failure));
    QCOMPARE(quint32(next), observableEnd);

    // Standard output is /dev/null here.
    fprintf(stderr, "soak: %u frames in %lld ms: %.0f frames/s; VmRSS %lld kB after warm-up, %lld kB at the end\n",
            total, elapsed, total * 1000.0 / qMax<qint64>(elapsed, 1), rssWarm, rssEnd);
    // Flat: nothing kept per frame. The slack covers allocator noise, not growth
    // with the frame count (100 bytes a frame would be 100 MB at a million).
    if (!qEnvironmentVariableIsSet("SOAK_IGNORE_RSS"))
        QVERIFY2(rssEnd - rssWarm < 8 * 1024, qPrintable(QStringLiteral("RSS grew by %1 kB").arg(rssEnd - rssWarm)));
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
