#include "controlchannel.h"

#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "unixaddress.h"

QByteArray ControlChannel::path(const QByteArray &name, bool create, QString *error)
{
    QByteArray base = qgetenv("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        base = "/tmp";
    const QByteArray dir = base + "/mcu-sim-" + QByteArray::number(uint(::getuid()));
    if (create && ::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(QString::fromLocal8Bit(dir), QString::fromLocal8Bit(std::strerror(errno)));
        return QByteArray();
    }
    // Anyone who could enter the directory could send frames in this user's name.
    struct stat st;
    if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & 077)) {
        *error = QStringLiteral("%1 is missing or not a directory private to this user")
                     .arg(QString::fromLocal8Bit(dir));
        return QByteArray();
    }
    return dir + '/' + QUrl::toPercentEncoding(QString::fromLocal8Bit(name));
}

int ControlChannel::send(const QByteArray &name, const QString &line)
{
    QString error;
    const QByteArray socketPath = path(name, false, &error);
    const UnixAddress addr(socketPath.constData(), size_t(socketPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (addr.isValid()) {
        if (::connect(fd, addr.address(), addr.length()) != 0)
            error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(socketPath),
                                                 QString::fromLocal8Bit(std::strerror(errno)));
    } else if (error.isEmpty()) {
        error = QStringLiteral("socket name too long");
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "mcu-sim: no simulator running on %s (%s)\n", name.constData(),
                     qPrintable(error));
        ::close(fd);
        return 1;
    }
    const QByteArray request = line.toUtf8() + '\n';
    const timeval timeout {10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QByteArray reply;
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, int(n));
    }
    ::close(fd);
    if (reply.isEmpty()) {
        std::fprintf(stderr, "mcu-sim: no answer from the simulator on %s\n", name.constData());
        return 1;
    }
    const bool sent = !reply.startsWith('!');
    std::fputs(reply.constData(), sent ? stdout : stderr);
    return sent ? 0 : 3;
}
