#include "mainappprotocolcomm.h"
#include "joiningthread.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

static const QByteArray RepeatLine = "===============>repeat call SendData\n";

static QByteArray frameLine(quint32 msg, quint32 p1, quint32 p2)
{
    return "Main app normal msg:" + QByteArray::number(msg) + ", p1:" + QByteArray::number(p1) + ", p2:"
        + QByteArray::number(p2) + ".\n";
}

static int sendHeartbeat(MainAppProtocolComm *link)
{
    QByteArray frame = normalFrame(12, 190, 0);
    return link->SendData(frame.data(), frame.size());
}

static int queuedBytes(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// Whether a thread other than this one sits in a blocking read.
static bool otherThreadInRead()
{
    const QString self = QString::number(gettid());
    const QByteArray read = QByteArray::number(SYS_read) + ' ';
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile syscall(QStringLiteral("/proc/self/task/%1/syscall").arg(tid));
        if (tid != self && syscall.open(QIODevice::ReadOnly) && syscall.readAll().startsWith(read))
            return true;
        // Under user-mode emulation the kernel shows the host's syscall
        // numbers; where the thread sleeps is the same on every architecture.
        QFile wchan(QStringLiteral("/proc/self/task/%1/wchan").arg(tid));
        if (tid != self && wchan.open(QIODevice::ReadOnly) && wchan.readAll() == "unix_stream_read_generic")
            return true;
    }
    return false;
}

struct Received {
    QByteArray bytes;
    bool endOfStream = false;
};

// Reads until the other end shuts the connection, or nothing more comes for a while.
static Received readToEnd(int fd, int quietMs = 5000)
{
    Received r;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0)
            return r;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r.endOfStream = n == 0;
            return r;
        }
        r.bytes.append(buf, int(n));
    }
}

class TestMainAppProtocolComm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void framesReachDispatcher();
    void secondSenderDropsItsFrame();
    void partlySentFrameIsFinished();
    void serviceAppearsLate();
    void serviceRestarts();
    void deleteInstanceEndsReader_data();
    void deleteInstanceEndsReader();

private:
    MainAppProtocolComm *startLink(const McuPeer &peer);
    // A link started against a listening peer that has taken its connection.
    MainAppProtocolComm *connectedLink(McuPeer &peer);

    QTemporaryDir m_dir;
    int m_links = 0;
    // Held until the link is gone, so the reader's last lines are caught too.
    std::unique_ptr<StdoutCapture> m_out;
};

MainAppProtocolComm *TestMainAppProtocolComm::startLink(const McuPeer &peer)
{
    return peer.startLink(m_dir.filePath(QStringLiteral("link%1").arg(++m_links)));
}

MainAppProtocolComm *TestMainAppProtocolComm::connectedLink(McuPeer &peer)
{
    return peer.connectLink(m_dir.filePath(QStringLiteral("link%1").arg(++m_links)));
}

void TestMainAppProtocolComm::init()
{
    m_out = std::make_unique<StdoutCapture>();
}

void TestMainAppProtocolComm::cleanup()
{
    MainAppProtocolComm::DeleteInstance();
    m_out.reset();
}

void TestMainAppProtocolComm::framesReachDispatcher()
{
    StdoutCapture &out = *m_out;
    McuPeer peer;
    QVERIFY(connectedLink(peer));
    // The link's lines go to a collector's pipe as they happen.
    QVERIFY(__flbf(stdout));

    // Our end is bound to the configured path.
    sockaddr_un addr;
    socklen_t len = sizeof addr;
    QCOMPARE(getpeername(peer.fd(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    QCOMPARE(QByteArray(addr.sun_path), QFile::encodeName(m_dir.path()) + "/link" + QByteArray::number(m_links));

    // A frame in two reads, a long frame of another type, and a length of 0
    // that empties the buffer.
    const QByteArray a = normalFrame(28929, 1, 10);
    QVERIFY(peer.write(a.left(10)));
    QVERIFY(peer.write(a.mid(10) + longFrame(7, 1, pattern(100)) + normalFrame(28929, 2, 20)));
    QVERIFY(peer.write(normalFrame(28929, 3, 30) + longFrame(2, 1, QByteArray(), 0) + normalFrame(28929, 4, 40)));
    QTRY_COMPARE(out.text(), frameLine(28929, 1, 10) + frameLine(28929, 2, 20) + frameLine(28929, 3, 30)
                                 + "=================>>>MainAppProtocolComm over size: 10240\n");
}

void TestMainAppProtocolComm::secondSenderDropsItsFrame()
{
    StdoutCapture &out = *m_out;
    McuPeer peer;
    MainAppProtocolComm *link = connectedLink(peer);
    QVERIFY(link);

    // The peer reads nothing, so the first sender holds the mutex while it
    // waits for room for the rest of its oversized frame.
    QByteArray big = pattern(4 << 20);
    int first = 1;
    JoiningThread holder([&] { first = link->SendData(big.data(), big.size()); });
    QTRY_VERIFY(queuedBytes(peer.fd()) > 0);

    QCOMPARE(sendHeartbeat(link), 0);
    QCOMPARE(out.count(RepeatLine), 1);

    holder.join();
    QCOMPARE(first, -1);
    // The dropped frame never reached the connection it was meant for.
    const Received got = readToEnd(peer.fd());
    QVERIFY(got.endOfStream);
    QVERIFY(big.startsWith(got.bytes));
}

void TestMainAppProtocolComm::partlySentFrameIsFinished()
{
    McuPeer peer;
    MainAppProtocolComm *link = connectedLink(peer);
    QVERIFY(link);

    // Larger than any socket buffer: the socket takes it in parts.
    QByteArray big = pattern(1 << 20);
    QByteArray got;
    JoiningThread reader([&] { got = peer.read(big.size(), 20000); });
    const int result = link->SendData(big.data(), big.size());
    reader.join();
    QCOMPARE(result, 0);
    QCOMPARE(got.size(), big.size());
    QVERIFY(got == big);
}

void TestMainAppProtocolComm::serviceAppearsLate()
{
    StdoutCapture &out = *m_out;
    McuPeer peer;
    QElapsedTimer timer;
    timer.start();
    startLink(peer);

    // A socket that never connected fails every read with EINVAL.
    const QByteArray failed = "-main app socket read failed with error: " + QByteArray::number(EINVAL) + "\n";
    QTRY_VERIFY(out.count(failed) >= 3);
    // Once per attempt, with a growing pause between: not a flood.
    QVERIFY2(out.count(failed) <= 3 + timer.elapsed() / 50, out.text().right(200).constData());
    QCOMPARE(out.count(failed), out.text().count('\n'));

    QVERIFY(peer.listen());
    QVERIFY(peer.accept(10000));
    QVERIFY(peer.write(normalFrame(28929, 3, 0)));
    QTRY_COMPARE(out.count(frameLine(28929, 3, 0)), 1);
}

void TestMainAppProtocolComm::serviceRestarts()
{
    StdoutCapture &out = *m_out;
    McuPeer peer;
    MainAppProtocolComm *link = connectedLink(peer);
    QVERIFY(link);

    // The service dies in the middle of a frame and comes back.
    QVERIFY(peer.write(normalFrame(28929, 1, 10).left(10)));
    peer.closeConnection();
    QVERIFY(peer.accept(10000));

    // The old connection's partial frame must not be glued to the new stream.
    QVERIFY(peer.write(normalFrame(28929, 5, 50)));
    QTRY_COMPARE(out.text(), QByteArray("Main App invaild datalen:0\n") + frameLine(28929, 5, 50));
    // Senders write to the new connection.
    QCOMPARE(sendHeartbeat(link), 0);
    QCOMPARE(peer.read(16), normalFrame(12, 190, 0));
}

void TestMainAppProtocolComm::deleteInstanceEndsReader_data()
{
    QTest::addColumn<bool>("serviceListening");
    QTest::addColumn<bool>("stopFirst");

    QTest::newRow("blocked in read") << true << false;
    QTest::newRow("blocked in read, stopped before") << true << true;
    QTest::newRow("waiting to reconnect") << false << false;
}

void TestMainAppProtocolComm::deleteInstanceEndsReader()
{
    QFETCH(bool, serviceListening);
    QFETCH(bool, stopFirst);

    McuPeer peer;
    if (serviceListening)
        QVERIFY(peer.listen());
    MainAppProtocolComm *link = startLink(peer);
    if (serviceListening) {
        QVERIFY(peer.accept());
        QTRY_VERIFY(otherThreadInRead());
    } else {
        QTRY_VERIFY(m_out->text().contains("read failed"));
    }

    if (stopFirst) {
        link->Stop();
        QCOMPARE(sendHeartbeat(link), -1);
    }
    // Returns only once the reader thread has ended.
    auto deleted = std::make_shared<std::atomic<bool>>(false);
    std::thread([deleted] {
        MainAppProtocolComm::DeleteInstance();
        *deleted = true;
    }).detach();
    if (!QTest::qWaitFor([&] { return deleted->load(); }, 20000)) {
        m_out.reset();
        qFatal("DeleteInstance did not return: the reader thread was not woken");
    }

    if (serviceListening)
        QVERIFY(readToEnd(peer.fd()).endOfStream);
    QCOMPARE(sendHeartbeat(MainAppProtocolComm::GetInstance()), -1);
}

QTEST_GUILESS_MAIN(TestMainAppProtocolComm)
#include "tst_mainappprotocolcomm.moc"
