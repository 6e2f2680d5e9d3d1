#include "signalquit.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static int s_pipe[2] = {-1, -1};

// Only async-signal-safe calls here: the signal may land on the MCU reader
// thread, in the middle of anything.
extern "C" void signalQuitHandler(int sig)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t written = write(s_pipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

void SignalQuit::install()
{
    static bool installed = false;
    if (installed || !QCoreApplication::instance())
        return;
    if (pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("hostframework: no signal pipe (%s), SIGINT and SIGTERM keep their default",
                 strerror(errno));
        return;
    }
    installed = true;
    new SignalQuit(s_pipe[0]);

    struct sigaction sa = {};
    sa.sa_handler = signalQuitHandler;
    sigemptyset(&sa.sa_mask);
    // The reader thread's blocking read() must not fail with EINTR.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SignalQuit::SignalQuit(int readFd)
    : QObject(QCoreApplication::instance())
    , m_notifier(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalQuit::readSignal);
}

void SignalQuit::readSignal()
{
    unsigned char byte = 0;
    while (read(m_notifier->socket(), &byte, 1) == 1) {
        qInfo("hostframework: %s received, quitting the event loop",
              byte == SIGINT        ? "SIGINT"
                  : byte == SIGTERM ? "SIGTERM"
                                    : "signal");
    }
    QCoreApplication::quit();
}
