#include "signalnotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int s_pipe[2] = {-1, -1};

// Only async-signal-safe calls here: the signal may land on any thread, in
// the middle of anything.
extern "C" void signalNotifierHandler(int sig)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    const ssize_t written = write(s_pipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

} // namespace

SignalNotifier *SignalNotifier::create(QObject *parent)
{
    if (s_pipe[0] >= 0) {
        errno = EBUSY;
        return nullptr;
    }
    if (pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto *notifier = new SignalNotifier(s_pipe[0], parent);

    struct sigaction sa = {};
    sa.sa_handler = signalNotifierHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return notifier;
}

SignalNotifier::SignalNotifier(int readFd, QObject *parent)
    : QObject(parent)
    , m_notifier(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalNotifier::readSignals);
}

void SignalNotifier::readSignals()
{
    unsigned char byte = 0;
    // The descriptor came in as an int.
    while (read(static_cast<int>(m_notifier->socket()), &byte, 1) == 1)
        Q_EMIT received(byte);
}
