#include "mcusimulator.h"

#include <QCoreApplication>

#include <cstdio>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "controlchannel.h"
#include "signalnotifier.h"

McuSimulator::McuSimulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_printer(options.timestamps, options.show, options.hide)
    , m_checks(m_printer)
    , m_commands(m_link, m_checks, options.idleMs)
    , m_input(m_printer)
{
    connect(&m_link, &LauncherConnection::connected, this, &McuSimulator::connected);
    connect(&m_link, &LauncherConnection::framesRead, this, &McuSimulator::framesRead);
    connect(&m_link, &LauncherConnection::disconnected, this, &McuSimulator::disconnected);
    connect(&m_control, &ListeningSocket::accepted, this, &McuSimulator::answerControl);
    connect(&m_commands, &CommandQueue::sendDue, this, [this](const SimCommand &cmd) { send(cmd); });
    connect(&m_commands, &CommandQueue::finished, this, &McuSimulator::finish);
    connect(&m_input, &StdinReader::ended, &m_commands, &CommandQueue::endInput);
    connect(&m_input, &StdinReader::commands, &m_commands, &CommandQueue::append);
}

bool McuSimulator::listen(QString *error)
{
    if (!m_link.listen(m_options.name, error))
        return false;
    m_printer.print(
        stdout, QStringLiteral("# listening on %1").arg(QString::fromLocal8Bit(m_options.name)));
    return true;
}

bool McuSimulator::listenControl(QString *error)
{
    const QByteArray path = ControlChannel::path(m_options.name, true, error);
    return !path.isEmpty() && m_control.listen(path, error);
}

bool McuSimulator::record(const QString &path, QString *error)
{
    return m_recorder.open(path, QString::fromLocal8Bit(m_options.name), error);
}

bool McuSimulator::capture(const QString &path, QString *error)
{
    return m_recorder.capture(path, QString::fromLocal8Bit(m_options.name), error);
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

void McuSimulator::connected()
{
    m_counts.connected();
    m_printer.connectionStarted();
    m_printer.print(
        stdout, QStringLiteral("# launcher connected (connection %1)").arg(m_counts.connections()));
    m_recorder.note(QStringLiteral("connected"));
    m_commands.touch();
    m_commands.run();
}

void McuSimulator::framesRead(const QVector<QByteArray> &frames)
{
    for (const QByteArray &frame : frames)
        received(frame);
    m_commands.run();
}

void McuSimulator::disconnected(const QString &why, const QByteArray &incomplete)
{
    if (!incomplete.isEmpty()) {
        m_printer.print(
            stdout, QStringLiteral("# %1 bytes of an incomplete frame:").arg(incomplete.size()));
        received(incomplete);
    }
    m_printer.print(stdout, QStringLiteral("# launcher disconnected (%1)").arg(why));
    m_recorder.note(QStringLiteral("disconnected"));
}

// One line in, its outcome out: "> ..." as printed, or "! why". Same user
// only (the socket lives in a private directory); a peer that sends no line
// within two seconds is dropped.
void McuSimulator::answerControl(int fd)
{
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
    else if (!m_link.isConnected())
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

void McuSimulator::received(const QByteArray &frame)
{
    const DecodedFrame d = FrameCodec::decode(frame);
    m_recorder.frame('<', frame, d.text);
    m_printer.print(stdout, QStringLiteral("< ") + d.text, d.kind);
    m_counts.received(d.kind, frame.size());
    m_checks.arrived(d);
    m_commands.touch();
}

bool McuSimulator::send(const SimCommand &cmd, QString *line)
{
    QString error;
    if (!m_link.write(cmd.bytes, &error)) {
        m_printer.print(stderr, QStringLiteral("! %1: send failed: %2").arg(cmd.text, error));
        m_link.drop(QStringLiteral("send failed"));
        return false;
    }
    const DecodedFrame d = FrameCodec::decodeInbound(cmd.bytes);
    m_recorder.frame('>', cmd.bytes, d.text);
    m_printer.print(stdout, QStringLiteral("> ") + d.text, d.kind);
    if (line)
        *line = QStringLiteral("> ") + d.text;
    m_counts.sent(d.kind, cmd.bytes.size());
    m_commands.touch();
    return true;
}

void McuSimulator::finish()
{
    if (m_commands.isStopped())
        return;
    const QVector<SimCommand> left = m_commands.stop();
    if (!left.isEmpty())
        m_printer.print(
            stderr,
            QStringLiteral("! %1 command(s) never ran, the first: %2%3")
                .arg(left.size())
                .arg(left.first().text,
                     m_counts.connections() ? QString() : QStringLiteral(" (no launcher came)")));
    m_recorder.note(QStringLiteral("end"));
    m_checks.printTally();
    if (m_options.summary)
        m_printer.print(stdout, m_counts.summary());
    std::fflush(stdout);
    QCoreApplication::exit(m_checks.failed()                                ? CheckFailed
                               : (!left.isEmpty() || m_link.failedWrites()) ? NotSent
                                                                            : Passed);
}
