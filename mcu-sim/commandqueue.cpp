#include "commandqueue.h"

#include "checkbook.h"
#include "launcherconnection.h"

CommandQueue::CommandQueue(const LauncherConnection &link, CheckBook &checks, qint64 idleMs,
                           QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_checks(checks)
    , m_idleMs(idleMs)
{
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &CommandQueue::waitTimedOut);
    m_idleTimer.setSingleShot(true);
    connect(&m_idleTimer, &QTimer::timeout, this, &CommandQueue::idleTimedOut);
    touch();
}

void CommandQueue::append(const QVector<SimCommand> &commands)
{
    m_queue += commands;
    // Never inside the caller: the event loop may not run yet, and a "quit"
    // must reach a running loop.
    QTimer::singleShot(0, this, &CommandQueue::run);
}

void CommandQueue::run()
{
    while (!m_queue.isEmpty() && !m_stopped) {
        SimCommand &cmd = m_queue.first();
        const bool check = cmd.kind == SimCommand::WaitFor || cmd.kind == SimCommand::Expect;
        if (m_waitTimer.isActive()) {
            if (!check || !m_checks.take(cmd))
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
            if (!m_link.isConnected())
                return;
            if (cmd.ms > 0) {
                m_waitTimer.start(int(cmd.ms));
                return;
            }
            // A failed send is reported and counted; the rest waits for the next launcher.
            emit sendDue(cmd);
            break;
        case SimCommand::Wait:
            m_waitTimer.start(int(cmd.ms));
            return;
        case SimCommand::WaitFor:
        case SimCommand::Expect:
            if (!m_checks.take(cmd)) {
                m_waitTimer.start(int(cmd.ms));
                return;
            }
            break;
        case SimCommand::Quit:
            m_queue.removeFirst();
            emit finished();
            return;
        }
        m_queue.removeFirst();
    }
    if (m_inputEnded && m_queue.isEmpty())
        emit finished();
}

void CommandQueue::touch()
{
    if (m_idleMs >= 0)
        m_idleTimer.start(int(m_idleMs));
}

QVector<SimCommand> CommandQueue::stop()
{
    m_stopped = true;
    m_waitTimer.stop();
    QVector<SimCommand> left;
    for (const SimCommand &cmd : qAsConst(m_queue)) {
        if (cmd.kind == SimCommand::Send || cmd.kind == SimCommand::WaitFor
            || cmd.kind == SimCommand::Expect)
            left.append(cmd);
    }
    return left;
}

void CommandQueue::waitTimedOut()
{
    if (m_queue.isEmpty())
        return;
    SimCommand &cmd = m_queue.first();
    if (cmd.kind == SimCommand::Send) {
        // Its delay is over: it goes out now.
        cmd.ms = 0;
    } else {
        if (cmd.kind == SimCommand::WaitFor || cmd.kind == SimCommand::Expect)
            m_checks.timedOut(cmd);
        m_queue.removeFirst();
    }
    run();
}

void CommandQueue::idleTimedOut()
{
    // A pause of the script is not idleness; waiting for the launcher is.
    if (m_waitTimer.isActive())
        touch();
    else
        emit finished();
}
