#include "mcusimulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "framecodec.h"

namespace {

int s_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 0;
    const ssize_t r = ::write(s_signalPipe[1], &c, 1);
    (void)r;
}

void out(const QString &line)
{
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
}

void err(const QString &line)
{
    std::fputs(line.toUtf8().append('\n').constData(), stderr);
}

} // namespace

McuSimulator::McuSimulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_recorder(m_clock)
{
    m_clock.start();
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &McuSimulator::waitTimedOut);
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &McuSimulator::idleTimedOut);
    touch();
}

McuSimulator::~McuSimulator()
{
    if (m_conn >= 0)
        ::close(m_conn);
    if (m_listen >= 0)
        ::close(m_listen);
}

bool McuSimulator::listen(QString *error)
{
    const QByteArray &name = m_options.name;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (name.isEmpty() || name.size() >= int(sizeof addr.sun_path)) {
        *error = QStringLiteral("socket name must have 1 to %1 characters").arg(sizeof addr.sun_path - 1);
        return false;
    }
    std::memcpy(addr.sun_path, name.constData(), name.size());
    // The launcher connects with exactly the family and the name, no terminator.
    socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
    if (name.startsWith('@'))
        addr.sun_path[0] = '\0';
    else
        ::unlink(addr.sun_path);

    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), len) != 0
        || ::listen(m_listen, 4) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(QString::fromUtf8(name), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_listenNotifier = new QSocketNotifier(m_listen, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, &McuSimulator::acceptConnection);
    out(QStringLiteral("# listening on %1").arg(QString::fromUtf8(name)));
    return true;
}

bool McuSimulator::record(const QString &path, QString *error)
{
    return m_recorder.open(path, error);
}

void McuSimulator::enqueue(const QVector<SimCommand> &commands)
{
    m_queue += commands;
    // Never inside the caller: the event loop may not run yet, and a "quit"
    // must reach a running loop.
    QTimer::singleShot(0, this, &McuSimulator::runQueue);
}

void McuSimulator::readStdin()
{
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0)
        return;
    m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdinNotifier, &QSocketNotifier::activated, this, &McuSimulator::readStdinChunk);
}

void McuSimulator::quitOnSignals()
{
    if (::pipe2(s_signalPipe, O_CLOEXEC) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, [this] {
        out(QStringLiteral("# signal, ending"));
        finish();
    });
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void McuSimulator::acceptConnection()
{
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (m_conn >= 0)
        dropConnection(QStringLiteral("replaced by a new connection"));
    m_conn = fd;
    ++m_connections;
    m_connNotifier = new QSocketNotifier(m_conn, QSocketNotifier::Read, this);
    connect(m_connNotifier, &QSocketNotifier::activated, this, &McuSimulator::readConnection);
    if (!m_replayClock.isValid())
        m_replayClock.start();
    out(QStringLiteral("# launcher connected (connection %1)").arg(m_connections));
    m_recorder.note(QStringLiteral("connected"));
    touch();
    runQueue();
}

void McuSimulator::readConnection()
{
    char buf[4096];
    const ssize_t n = ::recv(m_conn, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        dropConnection(n == 0 ? QStringLiteral("closed by the launcher")
                              : QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_inBuf.append(buf, int(n));
    for (;;) {
        int len = FrameCodec::outboundFrameLength(m_inBuf);
        if (len == 0)
            break;
        // No frame type the launcher sends: show all of it rather than guess a boundary.
        if (len < 0)
            len = m_inBuf.size();
        const QByteArray frame = m_inBuf.left(len);
        m_inBuf.remove(0, len);
        received(frame);
    }
    runQueue();
}

void McuSimulator::dropConnection(const QString &why)
{
    if (!m_inBuf.isEmpty()) {
        out(QStringLiteral("# %1 bytes of an incomplete frame:").arg(m_inBuf.size()));
        received(m_inBuf);
        m_inBuf.clear();
    }
    delete m_connNotifier;
    m_connNotifier = nullptr;
    ::close(m_conn);
    m_conn = -1;
    out(QStringLiteral("# launcher disconnected (%1)").arg(why));
    m_recorder.note(QStringLiteral("disconnected"));
}

void McuSimulator::received(const QByteArray &frame)
{
    m_recorder.frame('<', frame);
    const DecodedFrame d = FrameCodec::decode(frame);
    out(QStringLiteral("< ") + d.text);
    count(&m_in, d.kind);
    ++m_unclaimed[d.kind.toLower()];
    m_bytesIn += frame.size();
    touch();
}

bool McuSimulator::send(const SimCommand &cmd)
{
    const char *p = cmd.bytes.constData();
    qsizetype left = cmd.bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(m_conn, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err(QStringLiteral("! %1: send failed: %2").arg(cmd.text, QString::fromLocal8Bit(std::strerror(errno))));
            dropConnection(QStringLiteral("send failed"));
            return false;
        }
        p += n;
        left -= n;
    }
    m_recorder.frame('>', cmd.bytes);
    out(QStringLiteral("> %1 (%2 bytes)").arg(cmd.text).arg(cmd.bytes.size()));
    count(&m_out, cmd.name);
    m_bytesOut += cmd.bytes.size();
    touch();
    return true;
}

void McuSimulator::runQueue()
{
    while (!m_queue.isEmpty() && !m_finished) {
        const SimCommand &cmd = m_queue.first();
        if (m_waitTimer.isActive()) {
            if (cmd.kind != SimCommand::WaitFor || m_unclaimed.value(cmd.word.toLower()) == 0)
                return;
            m_waitTimer.stop();
        }
        switch (cmd.kind) {
        case SimCommand::Empty:
            break;
        case SimCommand::Send:
            // Commands before the launcher is there wait for it.
            if (m_conn < 0)
                return;
            if (cmd.ms >= 0 && cmd.ms > m_replayClock.elapsed()) {
                m_waitTimer.start(int(cmd.ms - m_replayClock.elapsed()));
                return;
            }
            if (!send(cmd))
                return;
            break;
        case SimCommand::Wait:
            m_waitTimer.start(int(cmd.ms));
            return;
        case SimCommand::WaitFor: {
            int &unclaimed = m_unclaimed[cmd.word.toLower()];
            if (unclaimed == 0) {
                m_waitTimer.start(int(cmd.ms));
                return;
            }
            --unclaimed;
            break;
        }
        case SimCommand::Quit:
            finish();
            return;
        }
        m_queue.removeFirst();
    }
}

void McuSimulator::waitTimedOut()
{
    if (m_queue.isEmpty())
        return;
    const SimCommand &cmd = m_queue.first();
    if (cmd.kind == SimCommand::WaitFor) {
        err(QStringLiteral("! %1: timed out").arg(cmd.text));
        ++m_timeouts;
    }
    // A timed send stays at the head and goes out now.
    if (cmd.kind != SimCommand::Send)
        m_queue.removeFirst();
    runQueue();
}

void McuSimulator::idleTimedOut()
{
    // A pause of the script is not idleness; waiting for the launcher is.
    if (m_waitTimer.isActive())
        touch();
    else
        finish();
}

void McuSimulator::touch()
{
    if (m_options.idleMs >= 0)
        m_idleTimer.start(int(m_options.idleMs));
}

void McuSimulator::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_recorder.note(QStringLiteral("end"));
    if (m_options.summary) {
        out(QStringLiteral("summary: %1 connection(s); %2 frames in (%3 bytes)%4; %5 frames out (%6 bytes)%7")
                .arg(m_connections)
                .arg(std::accumulate(m_in.cbegin(), m_in.cend(), 0, [](int s, const auto &c) { return s + c.second; }))
                .arg(m_bytesIn).arg(describe(m_in))
                .arg(std::accumulate(m_out.cbegin(), m_out.cend(), 0, [](int s, const auto &c) { return s + c.second; }))
                .arg(m_bytesOut).arg(describe(m_out)));
    }
    std::fflush(stdout);
    QCoreApplication::exit(m_timeouts ? 2 : 0);
}

void McuSimulator::readStdinChunk()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0)
        m_stdinBuf.append(buf, int(n));
    else
        m_stdinNotifier->setEnabled(false);
    QVector<SimCommand> commands;
    for (;;) {
        int eol = m_stdinBuf.indexOf('\n');
        if (eol < 0 && (n > 0 || m_stdinBuf.isEmpty()))
            break;
        if (eol < 0)
            eol = m_stdinBuf.size();
        const QString line = QString::fromUtf8(m_stdinBuf.left(eol));
        m_stdinBuf.remove(0, eol + 1);
        SimCommand cmd;
        QString error;
        if (SimCommand::parse(line, &cmd, &error))
            commands.append(cmd);
        else
            err(QStringLiteral("error: ") + error);
    }
    if (!commands.isEmpty())
        enqueue(commands);
}

void McuSimulator::count(Counts *counts, const QString &kind)
{
    for (auto &c : *counts) {
        if (c.first == kind) {
            ++c.second;
            return;
        }
    }
    counts->append({kind, 1});
}

QString McuSimulator::describe(const Counts &counts)
{
    QStringList parts;
    for (const auto &c : counts)
        parts << QStringLiteral("%1 %2").arg(c.first).arg(c.second);
    return parts.isEmpty() ? QString() : QStringLiteral(": ") + parts.join(QStringLiteral(", "));
}
