#include "launcherconnection.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "framecodec.h"

namespace {

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

LauncherConnection::LauncherConnection(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &ListeningSocket::accepted, this, &LauncherConnection::accept);
}

LauncherConnection::~LauncherConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LauncherConnection::write(const QByteArray &bytes, QString *error)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(m_fd, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = errnoText();
            ++m_failedWrites;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void LauncherConnection::drop(const QString &why)
{
    const QByteArray incomplete = m_inBuf;
    m_inBuf.clear();
    delete m_notifier;
    m_notifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
    emit disconnected(why, incomplete);
}

void LauncherConnection::accept(int fd)
{
    if (m_fd >= 0)
        drop(QStringLiteral("replaced by a new connection"));
    m_fd = fd;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LauncherConnection::read);
    emit connected();
}

void LauncherConnection::read()
{
    char buf[4096];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        drop(n == 0 ? QStringLiteral("closed by the launcher") : errnoText());
        return;
    }
    m_inBuf.append(buf, int(n));
    QVector<QByteArray> frames;
    for (;;) {
        int len = FrameCodec::outboundFrameLength(m_inBuf);
        if (len == 0)
            break;
        // No frame type the launcher sends: show all of it rather than guess a boundary.
        if (len < 0)
            len = m_inBuf.size();
        frames.append(m_inBuf.left(len));
        m_inBuf.remove(0, len);
    }
    emit framesRead(frames);
}
