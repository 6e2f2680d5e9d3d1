#include "mcupeer.h"

#include "mainappprotocolcomm.h"
#include "unixaddress.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QFile>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using zyappframework::MainAppProtocolComm;

// A stream socket bound or connected to name by op; -1 if op fails.
template<typename Op>
static int unixSocket(const QByteArray &name, Op op)
{
    const UnixAddress addr(name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (op(fd, addr.address(), addr.length()) == 0)
        return fd;
    ::close(fd);
    return -1;
}

QByteArray McuPeer::uniqueName()
{
    static QAtomicInt counter;
    return "@lt" + QByteArray::number(getpid()) + "_"
        + QByteArray::number(counter.fetchAndAddRelaxed(1));
}

MainAppProtocolComm *McuPeer::connectLink(const QString &localPath)
{
    if (!listen())
        return nullptr;
    MainAppProtocolComm::setSocketNames(QFile::encodeName(localPath).constData(),
                                        m_name.constData());
    MainAppProtocolComm::GetInstance()->Start();
    return accept() ? MainAppProtocolComm::GetInstance() : nullptr;
}

McuPeer::McuPeer(const QByteArray &name)
    : m_name(name.isEmpty() ? uniqueName() : name)
{ }

McuPeer::~McuPeer()
{
    closeConnection();
    ::close(m_listen);
}

bool McuPeer::listen()
{
    ::close(m_listen);
    m_listen = unixSocket(m_name, [](int fd, const sockaddr *addr, socklen_t len) {
        return ::bind(fd, addr, len) == 0 ? ::listen(fd, 4) : -1;
    });
    return m_listen >= 0;
}

void McuPeer::stopListening()
{
    ::close(m_listen);
    m_listen = -1;
}

bool McuPeer::accept(int timeoutMs)
{
    pollfd p {m_listen, POLLIN, 0};
    if (m_listen < 0 || ::poll(&p, 1, timeoutMs) <= 0)
        return false;
    closeConnection();
    m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    return m_conn >= 0;
}

bool McuPeer::connectTo(const QByteArray &name)
{
    closeConnection();
    m_conn = unixSocket(name, ::connect);
    return m_conn >= 0;
}

void McuPeer::closeConnection()
{
    ::close(m_conn);
    m_conn = -1;
}

bool McuPeer::write(const QByteArray &bytes)
{
    ssize_t n = 0;
    for (qsizetype done = 0; done < bytes.size() && n >= 0; done += n)
        n = ::send(m_conn, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
    return n >= 0;
}

QByteArray McuPeer::read(int n, int timeoutMs)
{
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    for (pollfd p {m_conn, POLLIN, 0};
         out.size() < n && ::poll(&p, 1, int(deadline.remainingTime())) > 0;) {
        char buf[65536];
        const ssize_t got = ::recv(m_conn, buf, qMin<qsizetype>(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, int(got));
    }
    return out;
}

QByteArray McuPeer::readAll(int timeoutMs)
{
    QByteArray out;
    for (;;) {
        const QByteArray chunk = read(1 << 20, timeoutMs);
        if (chunk.isEmpty())
            return out;
        out += chunk;
    }
    return out;
}

QByteArray longHeader(quint32 type, quint32 msg, qint32 length)
{
    return longFrame(type, msg, QByteArray())
        .replace(8, 4, normalFrame(0, quint32(length), 0).mid(8, 4));
}

QByteArray outLong(quint32 type, quint32 msg, const QByteArray &data)
{
    return longFrame(type, msg, data).remove(8, 4).leftJustified(264, '\0');
}

QByteArray mcuRecord(const QByteArray &frame)
{
    return frame.left(268).leftJustified(268, '\0');
}

QByteArray pattern(int n, int seed)
{
    QByteArray p(n, '\0');
    for (int i = 0; i < n; ++i)
        p[i] = char((i * 7 + i / 251 + seed) | 1);
    return p;
}
