#include "mainappprotocolcomm.h"

#include "launcherconfig.h"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstddef>
#include <cstdio>
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

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// unlink, socket, bind, connect: the results are not checked, a socket that
// did not connect simply fails its reads and is replaced later.
int openLink(sockaddr_un *localAddr)
{
    unlink(s_localPath);
    // Non-blocking only for the connect: a service whose backlog is full must
    // not hold up the start, nor a reconnect that Stop could not wake.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fd;

    std::memset(localAddr, 0, sizeof *localAddr);
    localAddr->sun_family = AF_UNIX;
    std::memcpy(localAddr->sun_path, s_localPath, std::strlen(s_localPath) + 1);
    bind(fd, reinterpret_cast<const sockaddr *>(localAddr), sizeof *localAddr);

    sockaddr_un peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sun_family = AF_UNIX;
    const size_t nameLen = std::strlen(s_peerName);
    std::memcpy(peer.sun_path, s_peerName, nameLen);
    if (peer.sun_path[0] == '@')
        peer.sun_path[0] = '\0';
    // Abstract names are length-sensitive: exactly the name, no padding, no terminator.
    connect(fd, reinterpret_cast<const sockaddr *>(&peer), socklen_t(offsetof(sockaddr_un, sun_path) + nameLen));
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

MainAppProtocolComm::MainAppProtocolComm()
    : m_threadId()
    , m_running(0)
    , m_socket(-1)
    , m_localAddr()
    , m_threadStarted(false)
{
    pthread_mutex_init(&m_sendMutex, nullptr);
    pthread_mutex_init(&m_wakeMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_wakeCond, &attr);
    pthread_condattr_destroy(&attr);
}

MainAppProtocolComm::~MainAppProtocolComm()
{
    pthread_cond_destroy(&m_wakeCond);
    pthread_mutex_destroy(&m_wakeMutex);
    pthread_mutex_destroy(&m_sendMutex);
}

void MainAppProtocolComm::Start()
{
    // The link's lines are read live by a log collector through a pipe.
    static const bool s_lineBuffered = setvbuf(stdout, nullptr, _IOLBF, 0) == 0;
    (void)s_lineBuffered;

    m_running = 1;
    m_socket = openLink(&m_localAddr);
    m_threadStarted = pthread_create(&m_threadId, nullptr, _thread, this) == 0;
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

    pthread_mutex_lock(&m_sendMutex);
    if (m_socket >= 0) {
        // close alone does not wake a reader blocked in read; shutdown does.
        // The reader then closes the descriptor itself: closed under its read,
        // the number could be reused by another open before the read is issued.
        shutdown(m_socket, SHUT_RDWR);
        if (!m_threadStarted)
            close(m_socket);
    }
    pthread_mutex_unlock(&m_sendMutex);
}

int MainAppProtocolComm::SendData(void *frame, int len)
{
    if (m_socket == -1)
        return -1;

    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += SendLockMs * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_mutex_timedlock(&m_sendMutex, &deadline) != 0) {
        puts("===============>repeat call SendData");
        return 0;
    }
    if (!m_running) {
        // Stopped: the descriptor is closed and its number may be reused.
        pthread_mutex_unlock(&m_sendMutex);
        return -1;
    }

    const char *p = static_cast<const char *>(frame);
    int result = 0;
    int sent = 0;
    int64_t giveUpAt = 0;
    while (len > 0) {
        const ssize_t n = send(m_socket, p, size_t(len), MSG_DONTWAIT | MSG_NOSIGNAL);
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
            const int64_t now = monotonicMs();
            if (giveUpAt == 0)
                giveUpAt = now + SendCompletionMs;
            if (now < giveUpAt) {
                pollfd pfd{m_socket, POLLOUT, 0};
                poll(&pfd, 1, int(giveUpAt - now));
                continue;
            }
        }
        // Part of the frame is on the wire and the rest cannot follow: end the
        // connection rather than let the next frame start mid-frame. The
        // reader sees the end and reconnects.
        shutdown(m_socket, SHUT_RDWR);
        result = n < 0 ? int(n) : -1;
        break;
    }
    pthread_mutex_unlock(&m_sendMutex);
    return len > 0 ? result : 0;
}

void *MainAppProtocolComm::_thread(void *self)
{
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
            m_reassembler.append(buffer, int(n), [this](unsigned char *frame) { resolvePacket(frame); });
            continue;
        }
        if (n < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            printf("-main app socket read failed with error: %d\n", error);
        } else {
            printf("Main App invaild datalen:%d\n", int(n));
        }
        // No service, or it went away: wait rather than spin, then dial again.
        if (!waitBeforeReconnect(retryMs))
            break;
        retryMs = std::min(retryMs * 2, LastRetryMs);
        reconnect();
    }

    pthread_mutex_lock(&m_sendMutex);
    close(m_socket);
    pthread_mutex_unlock(&m_sendMutex);
}

bool MainAppProtocolComm::waitBeforeReconnect(int ms)
{
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&m_wakeMutex);
    while (m_running && pthread_cond_timedwait(&m_wakeCond, &m_wakeMutex, &until) != ETIMEDOUT) {
    }
    const bool running = m_running;
    pthread_mutex_unlock(&m_wakeMutex);
    return running;
}

void MainAppProtocolComm::reconnect()
{
    sockaddr_un localAddr;
    const int fd = openLink(&localAddr);
    if (fd < 0)
        return;

    int unused = fd;
    pthread_mutex_lock(&m_sendMutex);
    if (m_running) {
        // The new connection takes the old descriptor's number in one step, so
        // a sender never writes to a closed or reused descriptor.
        if (m_socket >= 0)
            dup3(fd, m_socket, O_CLOEXEC);
        else
            std::swap(m_socket, unused); // Start could not even create a socket
        m_localAddr = localAddr;
    }
    pthread_mutex_unlock(&m_sendMutex);
    if (unused >= 0)
        close(unused);
    // Bytes of a frame from the old connection must not start the new stream.
    m_reassembler.reset();
}

} // namespace zyappframework
