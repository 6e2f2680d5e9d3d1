#include "launcherprocess.h"

#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <unistd.h>

LauncherProcess::LauncherProcess()
    : m_env(QProcessEnvironment::systemEnvironment())
{
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

LauncherProcess::~LauncherProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString LauncherProcess::executable()
{
    return QStringLiteral(LAUNCHER_EXECUTABLE);
}

void LauncherProcess::setEnvironment(const QString &name, const QString &value)
{
    m_env.insert(name, value);
}

bool LauncherProcess::start()
{
    m_output.clear();
    m_process.setProcessEnvironment(m_env);
    if (geteuid() == 0) {
        // Root could set the machine's clock from whatever a test sends it.
        // setpriv execs the launcher in place, so the pid stays the launcher's.
        m_process.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--bounding-set=-sys_time"), QStringLiteral("--inh-caps=-sys_time"),
                         executable()});
    } else {
        m_process.start(executable(), QStringList());
    }
    return m_process.waitForStarted(10000);
}

qint64 LauncherProcess::pid() const
{
    return m_process.processId();
}

bool LauncherProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray LauncherProcess::output()
{
    m_output += m_process.readAll();
    return m_output;
}

bool LauncherProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!output().contains(text)) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(qMin(left, 100));
    }
    return true;
}

qint64 LauncherProcess::cpuTimeMs() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name may hold spaces and parentheses: count fields from the last ')'.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line (utime, stime) are 12 and 13 after the name.
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

int LauncherProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(pid_t(pid()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        output();
        return -1;
    }
    output();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}
