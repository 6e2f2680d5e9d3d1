// A long stream of mixed frames in random chunks through the real link: each
// frame reaches the framework once, whole and in order, and memory stays flat.
// SOAK_FRAMES sets the length (default a million); SOAK_IGNORE_RSS skips the
// memory check where an instrumented allocator makes it meaningless.

#include "journal.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "systemclock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <fcntl.h>
#include <random>
#include <thread>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

namespace {

// No test may move the machine's clock, whatever a garbled frame says.
class RecordingClock : public SystemClock
{
public:
    int setTime(int64_t) override { return 0; }
};

enum Kind { Key, LongMcu, Can, UnknownType, Discarded, OtherNormal, KindCount };

Kind kindOf(quint32 seq)
{
    static const Kind pattern[] = {Key, LongMcu, Key, Can, UnknownType, Key, Discarded, OtherNormal};
    return pattern[(seq * 2654435761u >> 7) % 8];
}

QByteArray payload(quint32 seq, int n)
{
    QByteArray d(n, '\0');
    for (int i = 0; i < n; ++i)
        d[i] = char(seq * 31 + quint32(i) * 7);
    return d;
}

QByteArray frameFor(quint32 seq)
{
    switch (kindOf(seq)) {
    case Key:
        return normalFrame(MSG_M2A_KEY_PRESSED, seq, seq ^ 0x5a5a);
    case LongMcu:
        return longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_BASE_DATA, payload(seq, int(seq % 257)));
    case Can:
        return longFrame(MAIN_APP_TYPE_CAN, seq, payload(seq, int(seq % 100)));
    case UnknownType:
        return longFrame(9, seq, payload(seq, int(seq % 50)));
    case Discarded:
        return normalFrame(MSG_M2A_DISCARD, seq, 0);
    case OtherNormal:
    case KindCount:
        break;
    }
    return normalFrame(0x1234, seq, ~seq);
}

// The 268-byte record the dispatcher hands on for a long frame.
QByteArray recordFor(const QByteArray &frame)
{
    return frame + QByteArray(MCUSRV_TO_MAIN_APP_SIZE - frame.size(), '\0');
}

qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Follows the journal on the reader thread and holds every entry against the
// frame that should have caused it.
class Checker : public QObject
{
    Q_OBJECT
public:
    std::atomic<quint32> next{0};
    std::atomic<bool> failed{false};
    QString failure;

public Q_SLOTS:
    void onRecorded()
    {
        const QVector<Journal::Entry> entries = Journal::instance()->entries();
        Journal::instance()->clear();
        for (const Journal::Entry &e : entries) {
            if (failed || e.call == QLatin1String("ActivityManager::self"))
                continue;
            quint32 seq = next;
            while (kindOf(seq) == UnknownType || kindOf(seq) == Discarded)
                ++seq;
            if (!matches(seq, e)) {
                failure = QStringLiteral("frame %1: unexpected %2").arg(seq).arg(e.call);
                failed = true;
                continue;
            }
            next = seq + 1;
        }
    }

private:
    static bool matches(quint32 seq, const Journal::Entry &e)
    {
        switch (kindOf(seq)) {
        case Key:
            return e.call == QLatin1String("BaseControl::sendMcuKeyPressedSignal")
                && e.args.value(0).toUInt() == seq && e.args.value(1).toUInt() == (seq ^ 0x5a5a);
        case LongMcu:
            return e.call == QLatin1String("BaseControl::RecevieMsgFromMcu")
                && e.args.value(0).toByteArray() == recordFor(frameFor(seq));
        case Can:
            return e.call == QLatin1String("ActivityManager::handleCanMsg")
                && e.args.value(0).toByteArray() == recordFor(frameFor(seq));
        case OtherNormal:
            return e.call == QLatin1String("ActivityManager::handleMcuMsg") && e.args.value(2).toUInt() == seq
                && e.args.value(3).toUInt() == ~seq;
        default:
            return false;
        }
    }
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SystemClock::setInstance(&m_clock); }
    void millionFrames();

private:
    RecordingClock m_clock;
};

void TestSoak::millionFrames()
{
    const quint32 total = quint32(qEnvironmentVariableIntValue("SOAK_FRAMES") > 0
                                      ? qEnvironmentVariableIntValue("SOAK_FRAMES") : 1000000);
    QTemporaryDir dir;
    // The link prints a line per normal frame; nobody reads them here.
    fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devnull, STDOUT_FILENO);
    close(devnull);
    struct Restore {
        int fd;
        ~Restore()
        {
            fflush(stdout);
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    } restore{savedStdout};

    // Frames of unknown type and discarded ones leave no trace: the check ends
    // with the last frame the framework sees.
    quint32 observableEnd = total;
    while (observableEnd > 0 && (kindOf(observableEnd - 1) == UnknownType || kindOf(observableEnd - 1) == Discarded))
        --observableEnd;

    Journal::instance()->clear();
    Checker checker;
    connect(Journal::instance(), &Journal::recorded, &checker, &Checker::onRecorded, Qt::DirectConnection);

    McuPeer peer;
    QVERIFY(peer.listen());
    MainAppProtocolComm::setSocketNames(QFile::encodeName(dir.filePath("link")).constData(), peer.name().constData());
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    struct Delete {
        ~Delete() { MainAppProtocolComm::DeleteInstance(); }
    } deleteLink;
    QVERIFY(peer.accept());

    std::atomic<quint32> written{0};
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
            int at = 0;
            while (at < pending.size()) {
                const int n = qMin(chunkSize(rng), int(pending.size()) - at);
                if (!peer.write(pending.mid(at, n)))
                    return;
                at += n;
            }
            pending.clear();
            written = seq + 1;
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
    QTRY_VERIFY_WITH_TIMEOUT(checker.next >= total / 10 || checker.failed, 60000);
    const qint64 rssWarm = rssKb();
    QTRY_VERIFY_WITH_TIMEOUT(checker.next >= observableEnd || checker.failed, 1200000);
    const qint64 elapsed = timer.elapsed();
    const qint64 rssEnd = rssKb();
    QVERIFY2(!checker.failed, qPrintable(checker.failure));
    QCOMPARE(quint32(checker.next), observableEnd);

    // Standard output is /dev/null here.
    fprintf(stderr, "soak: %u frames in %lld ms: %.0f frames/s; VmRSS %lld kB after warm-up, %lld kB at the end\n",
          total, elapsed, total * 1000.0 / qMax<qint64>(elapsed, 1), rssWarm, rssEnd);
    if (qEnvironmentVariableIsSet("SOAK_IGNORE_RSS"))
        return;
    // Flat: nothing kept per frame. The slack covers allocator noise, not growth
    // with the frame count (100 bytes a frame would be 100 MB at a million).
    QVERIFY2(rssEnd - rssWarm < 8 * 1024, qPrintable(QStringLiteral("RSS grew by %1 kB").arg(rssEnd - rssWarm)));
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
