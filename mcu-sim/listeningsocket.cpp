#include "listeningsocket.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unixaddress.h"

namespace {

bool clearSocketPath(const QByteArray &path, QString *error)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is not a socket; not replacing it")
                     .arg(QString::fromLocal8Bit(path));
        return false;
    }
    ::unlink(path.constData());
    return true;
}

} // namespace

ListeningSocket::~ListeningSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_path.isEmpty())
        ::unlink(m_path.constData());
}

bool ListeningSocket::listen(const QByteArray &name, QString *error)
{
    const UnixAddress addr(name.constData(), size_t(name.size()));
    if (!addr.isValid()) {
        *error = QStringLiteral("socket name must have 1 to %1 characters")
                     .arg(UnixAddress::MaxNameLength);
        return false;
    }
    const bool abstract = name.startsWith('@');
    if (!abstract && !clearSocketPath(name, error))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, addr.address(), addr.length()) != 0 || ::listen(fd, 4) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2")
                     .arg(QString::fromLocal8Bit(name),
                          QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_fd = fd;
    if (!abstract)
        m_path = name;
    auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ListeningSocket::accept);
    return true;
}

void ListeningSocket::accept()
{
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        emit accepted(fd);
}
