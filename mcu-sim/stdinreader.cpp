#include "stdinreader.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "lineprinter.h"

StdinReader::StdinReader(LinePrinter &printer, QObject *parent)
    : QObject(parent)
    , m_printer(printer)
{ }

void StdinReader::start()
{
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0)
        return;
    m_notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StdinReader::read);
}

void StdinReader::read()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        m_buf.append(buf, int(n));
    } else {
        // End of input: what is queued still runs, then the session ends.
        m_notifier->setEnabled(false);
        emit ended();
    }
    QVector<SimCommand> parsed;
    for (;;) {
        int eol = m_buf.indexOf('\n');
        if (eol < 0 && (n > 0 || m_buf.isEmpty()))
            break;
        if (eol < 0)
            eol = m_buf.size();
        const QString line = QString::fromUtf8(m_buf.left(eol));
        m_buf.remove(0, eol + 1);
        SimCommand cmd;
        QString error;
        if (!SimCommand::parse(line, &cmd, &error))
            m_printer.print(stderr, QStringLiteral("error: ") + error);
        else if (cmd.kind == SimCommand::Help)
            std::fputs(SimCommand::help().toUtf8().constData(), stdout);
        else
            parsed.append(cmd);
    }
    emit commands(parsed);
}
