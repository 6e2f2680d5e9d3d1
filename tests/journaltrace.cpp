// Preloaded into the launcher by the end-to-end test: writes each framework
// call of the desktop framework's journal to stderr, as "journal: Call(args)",
// and the link's connect and sends as "link: ...", so one stream shows the
// order of everything the launcher does at start.
#include <QMutex>

#include <cstdio>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "journal.h"
#include "journallines.h"

namespace {

void flushJournal()
{
    // Calls arrive from the main and the reader thread; print each once, in order.
    static QMutex lock;
    static int printed = 0;
    QMutexLocker locker(&lock);
    const QStringList lines = journalLines(printed);
    printed += lines.size();
    for (const QString &line : lines)
        std::fprintf(stderr, "journal: %s\n", qPrintable(line));
}

const bool s_connected = QObject::connect(Journal::instance(), &Journal::recorded, flushJournal);

// The link's socket: the abstract name the launcher dialled last.
QAtomicInt s_link = -1;

} // namespace

extern "C" int connect(int fd, const sockaddr *addr, socklen_t len)
{
    static const auto real = reinterpret_cast<int (*)(int, const sockaddr *, socklen_t)>(
        dlsym(RTLD_NEXT, "connect"));
    if (addr->sa_family == AF_UNIX && !reinterpret_cast<const sockaddr_un *>(addr)->sun_path[0]) {
        s_link = fd;
        std::fprintf(stderr, "link: connect\n");
    }
    return real(fd, addr, len);
}

// A new connection takes the old one's descriptor number.
extern "C" int dup3(int oldfd, int newfd, int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, int, int)>(dlsym(RTLD_NEXT, "dup3"));
    const int result = real(oldfd, newfd, flags);
    if (result >= 0 && oldfd == s_link)
        s_link = newfd;
    return result;
}

extern "C" ssize_t send(int fd, const void *buf, size_t n, int flags)
{
    static const auto real = reinterpret_cast<ssize_t (*)(int, const void *, size_t, int)>(
        dlsym(RTLD_NEXT, "send"));
    if (fd == s_link) {
        const QByteArray head(static_cast<const char *>(buf), qMin(int(n), 16));
        std::fprintf(stderr, "link: send %s\n", head.toHex().constData());
    }
    return real(fd, buf, n, flags);
}
