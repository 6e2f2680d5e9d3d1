#include "mainappprotocolcomm.h"

#include "dltlog.h"
#include "linklog.h"
#include "monotonicclock.h"

#include "launcherconfig.h"
#include "unixaddress.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zyappframework {

MainAppProtocolComm *MainAppProtocolComm::m_s_MainAppProtocolComm = nullptr;

namespace {

char s_localPath[sizeof(sockaddr_un::sun_path)] = LAUNCHER_LOCAL_SOCKET;
char s_peerName[sizeof(sockaddr_un::sun_path)] = LAUNCHER_MCU_SOCKET;
// Whether this thread is the link's reader: the reader must not end itself.
thread_local bool t_onReaderThread = false;

// A frame the socket took in part is finished within this time or the
// connection goes: the service must never parse a misaligned stream.
constexpr int SendCompletionMs = 1000;
constexpr int SendLockMs = 50;
constexpr int FirstRetryMs = 100;
constexpr int LastRetryMs = 2000;

void copyName(char (&to)[sizeof(sockaddr_un::sun_path)], const char *from)
{
    std::strncpy(to, from, sizeof to - 1);
    to[sizeof to - 1] = '\0';
}

long parseServiceUid(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long uid = std::strtol(text, &end, 10);
    return *text && !*end && !errno && uid >= 0 ? uid : -1;
}

// The uid the service must run under; -1 takes any. Anything in the network
// namespace can take the abstract name first, and the service sets our clock.
// Atomic: tests change it while a reader runs.
std::atomic<long> s_serviceUid(parseServiceUid(LAUNCHER_MCU_SERVICE_UID));

// Says who answered on the name; a service of another uid than the build
// requires gets its connection closed before a byte passes.
bool acceptService(int fd)
{
    ucred cred;
    socklen_t len = sizeof cred;
    const long required = s_serviceUid;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return required < 0;
    linkLine("MCU link to %s: service pid %ld uid %lu gid %lu", s_peerName, long(cred.pid),
             static_cast<unsigned long>(cred.uid), static_cast<unsigned long>(cred.gid));
    if (required < 0 || long(cred.uid) == required)
        return true;
    linkLine("MCU link to %s refused: service uid %lu, required uid %ld", s_peerName,
             static_cast<unsigned long>(cred.uid), required);
    return false;
}

// unlink, socket, bind, connect: a socket that did not connect simply fails
// its reads and is replaced later. *error is 0 once connected, else the errno
// of the step that failed, for the log.
int openLink(sockaddr_un *localAddr, int *error)
{
    unlink(s_localPath);
    // Non-blocking only for the connect: a service whose backlog is full must
    // not hold up the start, nor a reconnect that Stop could not wake.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    *error = fd < 0 ? errno : 0;
    if (fd < 0)
        return fd;

    std::memset(localAddr, 0, sizeof *localAddr);
    localAddr->sun_family = AF_UNIX;
    std::memcpy(localAddr->sun_path, s_localPath, std::strlen(s_localPath) + 1);
    // NOLINTNEXTLINE(bugprone-unused-return-value) unbound, the connect still goes ahead
    bind(fd, reinterpret_cast<const sockaddr *>(localAddr), sizeof *localAddr);

    const UnixAddress peer(s_peerName);
    if (connect(fd, peer.address(), peer.length()) != 0) {
        *error = errno;
    } else if (!acceptService(fd)) {
        // A connection cannot be undone: an unconnected socket in its place
        // fails its reads and sends like a dial that found nobody.
        close(fd);
        const int unconnected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        *error = EACCES;
        return unconnected;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

MainAppProtocolComm *MainAppProtocolComm::GetInstance()
{
    if (!m_s_MainAppProtocolComm)
        m_s_MainAppProtocolComm = new MainAppProtocolComm;
    return m_s_MainAppProtocolComm;
}

void MainAppProtocolComm::DeleteInstance()
{
    MainAppProtocolComm *self = m_s_MainAppProtocolComm;
    if (!self)
        return;
    if (t_onReaderThread) {
        // The reader cannot wait for its own end, and must not free the
        // object it is still running on.
        linkLine("MainAppProtocolComm::DeleteInstance refused on the link's reader thread");
        return;
    }
    // The reader works on this object: it has to be gone before the object is.
    if (self->m_threadStarted) {
        if (self->m_running)
            self->Stop();
        pthread_join(self->m_threadId, nullptr);
    }
    delete self;
    m_s_MainAppProtocolComm = nullptr;
}

void MainAppProtocolComm::setSocketNames(const char *localPath, const char *peerName)
{
    copyName(s_localPath, localPath);
    copyName(s_peerName, peerName);
}

void MainAppProtocolComm::setRequiredServiceUid(const char *uid)
{
    s_serviceUid = parseServiceUid(uid);
}

long MainAppProtocolComm::requiredServiceUid()
{
    return s_serviceUid;
}

MainAppProtocolComm::MainAppProtocolComm()
    : m_threadId()
    , m_running(0)
    , m_socket(-1)
    , m_localAddr()
    , m_sendBusy(false)
    , m_appReadyDue(false)
    , m_greeted(false)
    , m_endedByUs(false)
    , m_threadStarted(false)
    , m_linkUp(false)
{
    pthread_mutex_init(&m_sendMutex, nullptr);
    MonotonicClock::initCondition(&m_sendFree);
    pthread_mutex_init(&m_wakeMutex, nullptr);
    MonotonicClock::initCondition(&m_wakeCond);
}

MainAppProtocolComm::~MainAppProtocolComm()
{
    pthread_cond_destroy(&m_wakeCond);
    pthread_mutex_destroy(&m_wakeMutex);
    pthread_cond_destroy(&m_sendFree);
    pthread_mutex_destroy(&m_sendMutex);
}

void MainAppProtocolComm::Start()
{
    // The link's lines are read live by a log collector through a pipe.
    static const bool s_lineBuffered = setvbuf(stdout, nullptr, _IOLBF, 0) == 0;
    (void)s_lineBuffered;

    m_running = 1;
    int error = 0;
    m_socket = openLink(&m_localAddr, &error);
    m_linkUp = error == 0;
    if (!m_linkUp)
        linkDown(strerror(error));
    // Set before the reader exists: the reader may already be in DeleteInstance
    // by the time pthread_create returns.
    m_threadStarted = true;
    if (pthread_create(&m_threadId, nullptr, _thread, this) != 0)
        m_threadStarted = false;
}

void MainAppProtocolComm::Stop()
{
    pthread_mutex_lock(&m_wakeMutex);
    const bool wasRunning = m_running.exchange(0);
    pthread_cond_broadcast(&m_wakeCond);
    pthread_mutex_unlock(&m_wakeMutex);
    // A second Stop must not touch a descriptor the reader has closed since.
    if (!wasRunning)
        return;

    lockSend(-1);
    // -1 once the reader has closed it: the number may be another open's by now.
    if (m_socket >= 0) {
        // close alone does not wake a reader blocked in read; shutdown does.
        // The reader then closes the descriptor itself: closed under its read,
        // the number could be reused by another open before the read is issued.
        shutdown(m_socket, SHUT_RDWR);
        if (!m_threadStarted) {
            close(m_socket);
            m_socket = -1;
        }
    }
    unlockSend();
}

int MainAppProtocolComm::SendData(void *frame, int len)
{
    if (m_socket.load(std::memory_order_acquire) == -1)
        return -1;
    if (!takeSendLock())
        return 0;
    if (!m_running) {
        // Stopped: the descriptor is closed and its number may be reused.
        unlockSend();
        return -1;
    }
    const int result = sendLocked(frame, len);
    unlockSend();
    return result;
}

bool MainAppProtocolComm::takeSendLock()
{
    if (lockSend(SendLockMs))
        return true;
    linkLine("===============>repeat call SendData");
    return false;
}

int MainAppProtocolComm::sendLocked(const void *frame, int len)
{
    // Under the lock the number cannot change.
    const int fd = m_socket.load(std::memory_order_relaxed);
    DltLog::traceToMcu(frame, len);
    const char *p = static_cast<const char *>(frame);
    int result = 0;
    int sent = 0;
    int64_t giveUpAt = 0;
    while (len > 0) {
        const ssize_t n = send(fd, p, size_t(len), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= int(n);
            sent += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (sent == 0) {
            // Nothing of the frame went out: dropping it leaves the stream intact.
            result = int(n);
            break;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t now = MonotonicClock::nowMs();
            if (giveUpAt == 0)
                giveUpAt = now + SendCompletionMs;
            if (now < giveUpAt) {
                pollfd pfd {fd, POLLOUT, 0};
                poll(&pfd, 1, int(giveUpAt - now));
                continue;
            }
        }
        // Part of the frame is on the wire and the rest cannot follow: end the
        // connection rather than let the next frame start mid-frame. The
        // reader sees the end and reconnects.
        const int error = errno;
        m_endedByUs = true;
        shutdown(fd, SHUT_RDWR);
        errno = error;
        result = n < 0 ? int(n) : -1;
        break;
    }
    return len > 0 ? result : 0;
}

void *MainAppProtocolComm::_thread(void *self)
{
    t_onReaderThread = true;
    static_cast<MainAppProtocolComm *>(self)->loop();
    return nullptr;
}

void MainAppProtocolComm::loop()
{
    unsigned char buffer[FrameReassembler::MaxRead];
    int retryMs = FirstRetryMs;
    while (m_running) {
        const ssize_t n = read(m_socket, buffer, sizeof buffer);
        if (n > 0) {
            retryMs = FirstRetryMs;
            m_reassembler.append(buffer, int(n),
                                 [this](unsigned char *frame) { resolvePacket(frame); });
            continue;
        }
        if (n < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            linkLine("-main app socket read failed with error: %d", error);
            if (m_linkUp && m_running)
                linkDown(strerror(error));
        } else {
            linkLine("Main App invaild datalen:%d", int(n));
            if (m_linkUp && m_running)
                linkDown(m_endedByUs ? "closed by the launcher: a frame could not be sent whole"
                                     : "connection closed");
        }
        // No service, or it went away: wait rather than spin, then dial again.
        if (!waitBeforeReconnect(retryMs))
            break;
        retryMs = std::min(retryMs * 2, LastRetryMs);
        reconnect();
    }

    lockSend(-1);
    close(m_socket);
    m_socket = -1;
    unlockSend();
}

bool MainAppProtocolComm::waitBeforeReconnect(int ms)
{
    const timespec until = MonotonicClock::after(ms);
    pthread_mutex_lock(&m_wakeMutex);
    while (m_running && pthread_cond_timedwait(&m_wakeCond, &m_wakeMutex, &until) != ETIMEDOUT) { }
    const bool running = m_running;
    pthread_mutex_unlock(&m_wakeMutex);
    return running;
}

void MainAppProtocolComm::reconnect()
{
    sockaddr_un localAddr;
    int error = 0;
    const int fd = openLink(&localAddr, &error);
    if (fd < 0)
        return;

    int unused = fd;
    lockSend(-1);
    if (m_running) {
        // The new connection takes the old descriptor's number in one step, so
        // a sender never writes to a closed or reused descriptor.
        if (m_socket >= 0) {
            dup3(fd, m_socket, O_CLOEXEC);
        } else {
            // Start could not even create a socket.
            m_socket.store(fd, std::memory_order_release);
            unused = -1;
        }
        m_localAddr = localAddr;
        m_endedByUs = false;
        // A new connection is a new service to the service: once the start
        // sequence has said we are ready, it hears that before anything else.
        m_greeted = error == 0 && m_appReadyDue && sendAppReadyLocked();
    }
    unlockSend();
    if (unused >= 0)
        close(unused);
    // Bytes of a frame from the old connection must not start the new stream.
    m_reassembler.reset();
    if (error == 0 && !m_linkUp && m_running)
        linkLine("MCU link to %s up again", s_peerName);
    m_linkUp = error == 0;
}

void MainAppProtocolComm::linkDown(const char *reason)
{
    linkLine("MCU link to %s down: %s", s_peerName, reason);
    m_linkUp = false;
}

bool MainAppProtocolComm::lockSend(int ms)
{
    const timespec until = MonotonicClock::after(ms < 0 ? 0 : ms);
    pthread_mutex_lock(&m_sendMutex);
    int waited = 0;
    while (m_sendBusy && waited != ETIMEDOUT)
        waited = ms < 0 ? pthread_cond_wait(&m_sendFree, &m_sendMutex)
                        : pthread_cond_timedwait(&m_sendFree, &m_sendMutex, &until);
    const bool taken = !m_sendBusy;
    if (taken)
        m_sendBusy = true;
    pthread_mutex_unlock(&m_sendMutex);
    return taken;
}

void MainAppProtocolComm::unlockSend()
{
    pthread_mutex_lock(&m_sendMutex);
    m_sendBusy = false;
    pthread_mutex_unlock(&m_sendMutex);
    pthread_cond_signal(&m_sendFree);
}

} // namespace zyappframework
