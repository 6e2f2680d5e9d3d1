#include "mcupeer.h"

#include "mainappprotocolcomm.h"

#include <QAtomicInt>
#include <QFile>
#include <QtEndian>
#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static socklen_t makeAddress(const QByteArray &name, sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, name.constData(), name.size());
    if (name.startsWith('@'))
        addr->sun_path[0] = '\0';
    // Abstract names are length-sensitive: no padding, no terminator.
    return socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
}

QByteArray McuPeer::uniqueName()
{
    static QAtomicInt counter;
    return "@lt" + QByteArray::number(getpid()) + "_" + QByteArray::number(counter.fetchAndAddRelaxed(1));
}

zyappframework::MainAppProtocolComm *McuPeer::startLink(const QString &localPath) const
{
    using zyappframework::MainAppProtocolComm;
    MainAppProtocolComm::setSocketNames(QFile::encodeName(localPath).constData(), m_name.constData());
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    return link;
}

zyappframework::MainAppProtocolComm *McuPeer::connectLink(const QString &localPath)
{
    if (!listen())
        return nullptr;
    zyappframework::MainAppProtocolComm *link = startLink(localPath);
    return accept() ? link : nullptr;
}

McuPeer::McuPeer(const QByteArray &name)
    : m_name(name.isEmpty() ? uniqueName() : name)
{
}

McuPeer::~McuPeer()
{
    closeConnection();
    closeListener();
}

bool McuPeer::listen()
{
    closeListener();
    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    const socklen_t len = makeAddress(m_name, &addr);
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(m_listen, 4) != 0) {
        closeListener();
        return false;
    }
    return true;
}

bool McuPeer::accept(int timeoutMs)
{
    if (m_listen < 0)
        return false;
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    closeConnection();
    m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    return m_conn >= 0;
}

bool McuPeer::connectTo(const QByteArray &name)
{
    closeConnection();
    m_conn = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    const socklen_t len = makeAddress(name, &addr);
    if (::connect(m_conn, reinterpret_cast<sockaddr *>(&addr), len) != 0)
        closeConnection();
    return m_conn >= 0;
}

void McuPeer::closeConnection()
{
    if (m_conn >= 0)
        ::close(m_conn);
    m_conn = -1;
}

void McuPeer::closeListener()
{
    if (m_listen >= 0)
        ::close(m_listen);
    m_listen = -1;
}

bool McuPeer::write(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(m_conn, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

QByteArray McuPeer::read(int n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < n && m_conn >= 0) {
        const int left = timeoutMs - int(timer.elapsed());
        pollfd p{m_conn, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
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
}

QByteArray normalFrame(quint32 msg, quint32 p1, quint32 p2, quint32 type)
{
    QByteArray f(16, '\0');
    qToLittleEndian(type, f.data());
    qToLittleEndian(msg, f.data() + 4);
    qToLittleEndian(p1, f.data() + 8);
    qToLittleEndian(p2, f.data() + 12);
    return f;
}

QByteArray longFrame(quint32 type, quint32 msg, const QByteArray &data, qint32 length)
{
    if (length < 0)
        length = 12 + data.size();
    QByteArray f(12, '\0');
    qToLittleEndian(type, f.data());
    qToLittleEndian(msg, f.data() + 4);
    qToLittleEndian(length, f.data() + 8);
    f += data;
    if (f.size() < length)
        f.append(QByteArray(length - f.size(), '\0'));
    return f;
}

QByteArray outLong(quint32 type, quint32 msg, const QByteArray &data)
{
    const QByteArray f = normalFrame(msg, 0, 0, type).left(8) + data;
    return f + QByteArray(264 - f.size(), '\0');
}

QByteArray mcuRecord(const QByteArray &frame)
{
    return frame.left(268) + QByteArray(268 - qMin(268, int(frame.size())), '\0');
}

QByteArray pattern(int n, int seed)
{
    QByteArray p(n, '\0');
    for (int i = 0; i < n; ++i)
        p[i] = char((i * 7 + i / 251 + seed) | 1);
    return p;
}
