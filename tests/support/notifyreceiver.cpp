#include "notifyreceiver.h"

#include <QFile>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unixaddress.h"

static const QByteArray SyncMark = "X-TEST-SYNC=1";

NotifyReceiver::NotifyReceiver(Name name)
{
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // One-letter abstract names are shared by the whole network namespace:
    // the first free one.
    const QByteArray letters = name == Path ? QByteArray(1, '\0') : "abcdefghijklmnopqrstuvwxyz";
    for (char letter : letters) {
        m_path = name == Path ? QFile::encodeName(m_dir.filePath(QStringLiteral("notify")))
                              : QByteArray("@") + letter;
        const UnixAddress addr(m_path.constData());
        if (bind(m_fd, addr.address(), addr.length()) == 0) {
            qputenv("NOTIFY_SOCKET", m_path);
            break;
        }
    }
    m_reader = std::thread([this] {
        char buffer[4096];
        while (!m_done) {
            pollfd p {m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            QMutexLocker locker(&m_lock);
            if (n >= 0 && QByteArray::fromRawData(buffer, int(n)) == SyncMark)
                ++m_syncs;
            else if (n >= 0)
                m_received << QString::fromUtf8(buffer, int(n));
        }
    });
}

NotifyReceiver::~NotifyReceiver()
{
    m_done = true;
    m_reader.join();
    close(m_fd);
    qunsetenv("NOTIFY_SOCKET");
}

bool NotifyReceiver::sync()
{
    int syncs;
    {
        QMutexLocker locker(&m_lock);
        syncs = m_syncs;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const UnixAddress addr(m_path.constData());
    sendto(fd, SyncMark.constData(), size_t(SyncMark.size()), 0, addr.address(), addr.length());
    close(fd);
    // Without the event loop: a caller may be checking that nothing is sent
    // while its loop stands still.
    for (int waited = 0; waited < 5000; waited += 5) {
        {
            QMutexLocker locker(&m_lock);
            if (m_syncs > syncs)
                return true;
        }
        usleep(5000);
    }
    return false;
}

QStringList NotifyReceiver::received() const
{
    QMutexLocker locker(&m_lock);
    return m_received;
}
