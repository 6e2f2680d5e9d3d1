#include "mcusimulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "controlchannel.h"
#include "signalnotifier.h"
#include "unixaddress.h"

namespace {

const int MaxUnclaimedPerKind = 4096;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A path name may only replace a socket: anything else there is someone's file.
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

// A listening stream socket on name ('@' for the abstract namespace).
int listenOn(const QByteArray &name, QString *error)
{
    const UnixAddress addr(name.constData(), size_t(name.size()));
    if (!addr.isValid()) {
        *error = QStringLiteral("socket name must have 1 to %1 characters")
                     .arg(UnixAddress::MaxNameLength);
        return -1;
    }
    if (!name.startsWith('@') && !clearSocketPath(name, error))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, addr.address(), addr.length()) != 0 || ::listen(fd, 4) != 0) {
        *error =
            QStringLiteral("cannot listen on %1: %2").arg(QString::fromLocal8Bit(name), errnoText());
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

McuSimulator::McuSimulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_printer(options.timestamps, options.show, options.hide)
{
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &McuSimulator::waitTimedOut);
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &McuSimulator::idleTimedOut);
    touch();
}

McuSimulator::~McuSimulator()
{
    for (int fd : {m_conn, m_listen, m_control}) {
        if (fd >= 0)
            ::close(fd);
    }
    for (const QByteArray &path : {m_socketPath, m_controlPath}) {
        if (!path.isEmpty())
            ::unlink(path.constData());
    }
}

bool McuSimulator::listen(QString *error)
{
    m_listen = listenOn(m_options.name, error);
    if (m_listen < 0)
        return false;
    if (!m_options.name.startsWith('@'))
        m_socketPath = m_options.name;
    m_listenNotifier = new QSocketNotifier(m_listen, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, &McuSimulator::acceptConnection);
    m_printer.print(
        stdout, QStringLiteral("# listening on %1").arg(QString::fromLocal8Bit(m_options.name)));
    return true;
}

bool McuSimulator::listenControl(QString *error)
{
    const QByteArray path = ControlChannel::path(m_options.name, true, error);
    if (path.isEmpty())
        return false;
    m_control = listenOn(path, error);
    if (m_control < 0)
        return false;
    m_controlPath = path;
    auto *notifier = new QSocketNotifier(m_control, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &McuSimulator::acceptControl);
    return true;
}

bool McuSimulator::record(const QString &path, QString *error)
{
    return m_recorder.open(path, QString::fromLocal8Bit(m_options.name), error);
}

bool McuSimulator::capture(const QString &path, QString *error)
{
    return m_recorder.capture(path, QString::fromLocal8Bit(m_options.name), error);
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
    SignalNotifier *notifier = SignalNotifier::create(this);
    if (!notifier)
        return;
    connect(notifier, &SignalNotifier::received, this, [this] {
        m_printer.print(stdout, QStringLiteral("# signal, ending"));
        finish();
    });
}

void McuSimulator::acceptConnection()
{
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (m_conn >= 0)
        dropConnection(QStringLiteral("replaced by a new connection"));
    m_conn = fd;
    m_counts.connected();
    m_connNotifier = new QSocketNotifier(m_conn, QSocketNotifier::Read, this);
    connect(m_connNotifier, &QSocketNotifier::activated, this, &McuSimulator::readConnection);
    m_printer.connectionStarted();
    m_printer.print(
        stdout, QStringLiteral("# launcher connected (connection %1)").arg(m_counts.connections()));
    m_recorder.note(QStringLiteral("connected"));
    touch();
    runQueue();
}

// One line in, its outcome out: "> ..." as printed, or "! why". Same user
// only (the socket lives in a private directory); a peer that sends no line
// within two seconds is dropped.
void McuSimulator::acceptControl()
{
    const int fd = ::accept4(m_control, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const timeval timeout {2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QByteArray request;
    char buf[1024];
    ssize_t n;
    while (!request.contains('\n') && request.size() < 65536
           && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        request.append(buf, int(n));
    SimCommand cmd;
    QString error, reply;
    if (!SimCommand::parse(QString::fromUtf8(request.left(request.indexOf('\n'))), &cmd, &error))
        reply = QStringLiteral("! ") + error;
    else if (cmd.kind == SimCommand::Quit)
        reply = QStringLiteral("# quit");
    else if (cmd.kind != SimCommand::Send)
        reply = QStringLiteral("! only frames and quit go into a running session");
    else if (m_conn < 0)
        reply = QStringLiteral("! no launcher connected");
    else if (!send(cmd, &reply))
        reply = QStringLiteral("! send failed");
    const QByteArray bytes = reply.toUtf8() + '\n';
    const ssize_t w = ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    (void)w;
    ::close(fd);
    if (cmd.kind == SimCommand::Quit)
        finish();
}

void McuSimulator::readConnection()
{
    char buf[4096];
    const ssize_t n = ::recv(m_conn, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        dropConnection(n == 0 ? QStringLiteral("closed by the launcher") : errnoText());
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
        m_printer.print(stdout,
                        QStringLiteral("# %1 bytes of an incomplete frame:").arg(m_inBuf.size()));
        received(m_inBuf);
        m_inBuf.clear();
    }
    delete m_connNotifier;
    m_connNotifier = nullptr;
    ::close(m_conn);
    m_conn = -1;
    m_printer.print(stdout, QStringLiteral("# launcher disconnected (%1)").arg(why));
    m_recorder.note(QStringLiteral("disconnected"));
}

void McuSimulator::received(const QByteArray &frame)
{
    const DecodedFrame d = FrameCodec::decode(frame);
    m_recorder.frame('<', frame, d.text);
    m_printer.print(stdout, QStringLiteral("< ") + d.text, d.kind);
    m_counts.received(d.kind, frame.size());
    QVector<DecodedFrame> &unclaimed = m_unclaimed[d.kind.toLower()];
    if (unclaimed.size() == MaxUnclaimedPerKind)
        unclaimed.removeFirst();
    unclaimed.append(d);
    touch();
}

bool McuSimulator::send(const SimCommand &cmd, QString *line)
{
    const char *p = cmd.bytes.constData();
    qsizetype left = cmd.bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(m_conn, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_printer.print(stderr,
                            QStringLiteral("! %1: send failed: %2").arg(cmd.text, errnoText()));
            ++m_sendsFailed;
            dropConnection(QStringLiteral("send failed"));
            return false;
        }
        p += n;
        left -= n;
    }
    const DecodedFrame d = FrameCodec::decodeInbound(cmd.bytes);
    m_recorder.frame('>', cmd.bytes, d.text);
    m_printer.print(stdout, QStringLiteral("> ") + d.text, d.kind);
    if (line)
        *line = QStringLiteral("> ") + d.text;
    m_counts.sent(d.kind, cmd.bytes.size());
    touch();
    return true;
}

// Takes the oldest unclaimed frame of the command's kind; for "expect" also
// checks its fields. False while there is none.
bool McuSimulator::takeFrame(const SimCommand &cmd)
{
    QVector<DecodedFrame> &frames = m_unclaimed[cmd.word.toLower()];
    if (frames.isEmpty())
        return false;
    const DecodedFrame frame = frames.takeFirst();
    QStringList expected, got;
    for (const auto &f : cmd.fields) {
        bool found = false;
        const QString value = frame.field(f.first, &found);
        if (!found || value != f.second) {
            expected << f.first + QLatin1Char('=') + f.second;
            got << f.first + QLatin1Char('=') + (found ? value : QStringLiteral("(no such field)"));
        }
    }
    if (!expected.isEmpty()) {
        ++m_checksFailed;
        m_printer.print(stderr,
                        QStringLiteral("! FAILED: %1: expected %2, got %3 in '%4'")
                            .arg(cmd.text, expected.join(QLatin1Char(' ')),
                                 got.join(QLatin1Char(' ')), frame.text));
    } else if (cmd.kind == SimCommand::Expect) {
        ++m_checksPassed;
        m_printer.print(stdout, QStringLiteral("# passed: ") + cmd.text);
    }
    return true;
}

void McuSimulator::runQueue()
{
    while (!m_queue.isEmpty() && !m_finished) {
        SimCommand &cmd = m_queue.first();
        const bool check = cmd.kind == SimCommand::WaitFor || cmd.kind == SimCommand::Expect;
        if (m_waitTimer.isActive()) {
            if (!check || !takeFrame(cmd))
                return;
            m_waitTimer.stop();
            m_queue.removeFirst();
            continue;
        }
        switch (cmd.kind) {
        case SimCommand::Empty:
        case SimCommand::Help:
            break;
        case SimCommand::Send:
            // Commands before the launcher is there wait for it; a delay counts from then.
            if (m_conn < 0)
                return;
            if (cmd.ms > 0) {
                m_waitTimer.start(int(cmd.ms));
                return;
            }
            // A failed send is reported and counted; the rest waits for the next launcher.
            send(cmd);
            break;
        case SimCommand::Wait:
            m_waitTimer.start(int(cmd.ms));
            return;
        case SimCommand::WaitFor:
        case SimCommand::Expect:
            if (!takeFrame(cmd)) {
                m_waitTimer.start(int(cmd.ms));
                return;
            }
            break;
        case SimCommand::Quit:
            m_queue.removeFirst();
            finish();
            return;
        }
        m_queue.removeFirst();
    }
    if (m_inputEnded && m_queue.isEmpty())
        finish();
}

void McuSimulator::waitTimedOut()
{
    if (m_queue.isEmpty())
        return;
    SimCommand &cmd = m_queue.first();
    if (cmd.kind == SimCommand::Send) {
        // Its delay is over: it goes out now.
        cmd.ms = 0;
    } else {
        if (cmd.kind == SimCommand::WaitFor || cmd.kind == SimCommand::Expect) {
            m_printer.print(stderr,
                            QStringLiteral("! FAILED: %1: no %2 within %3 ms")
                                .arg(cmd.text, cmd.word)
                                .arg(cmd.ms));
            ++m_checksFailed;
        }
        m_queue.removeFirst();
    }
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
    m_waitTimer.stop();
    int left = 0;
    QString first;
    for (const SimCommand &cmd : qAsConst(m_queue)) {
        if (cmd.kind == SimCommand::Send || cmd.kind == SimCommand::WaitFor
            || cmd.kind == SimCommand::Expect) {
            if (!left++)
                first = cmd.text;
        }
    }
    if (left)
        m_printer.print(
            stderr,
            QStringLiteral("! %1 command(s) never ran, the first: %2%3")
                .arg(left)
                .arg(first,
                     m_counts.connections() ? QString() : QStringLiteral(" (no launcher came)")));
    m_recorder.note(QStringLiteral("end"));
    if (m_checksPassed + m_checksFailed)
        m_printer.print(stdout,
                        QStringLiteral("# %1 of %2 checks passed")
                            .arg(m_checksPassed)
                            .arg(m_checksPassed + m_checksFailed));
    if (m_options.summary)
        m_printer.print(stdout, m_counts.summary());
    std::fflush(stdout);
    QCoreApplication::exit(m_checksFailed                ? CheckFailed
                               : (left || m_sendsFailed) ? NotSent
                                                         : Passed);
}

void McuSimulator::readStdinChunk()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        m_stdinBuf.append(buf, int(n));
    } else {
        // End of input: what is queued still runs, then the session ends.
        m_stdinNotifier->setEnabled(false);
        m_inputEnded = true;
    }
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
        if (!SimCommand::parse(line, &cmd, &error))
            m_printer.print(stderr, QStringLiteral("error: ") + error);
        else if (cmd.kind == SimCommand::Help)
            std::fputs(SimCommand::help().toUtf8().constData(), stdout);
        else
            commands.append(cmd);
    }
    enqueue(commands);
}
