#ifndef LAUNCHERPROCESS_H
#define LAUNCHERPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// The real launcher executable as a child process, for end-to-end tests:
// offscreen, a settings directory of its own, and (when run as root) without
// the capability to set the clock. Standard output and error are captured
// together. The destructor always kills the process.
//
// The launcher binds and dials the fixed socket names, so a test using this
// holds the CTest RESOURCE_LOCK "mcu_fixed_names" and, as root, runs in its
// own network namespace.
class LauncherProcess
{
public:
    LauncherProcess();
    ~LauncherProcess();

    // Extra environment for the next start (on top of the defaults).
    void setEnvironment(const QString &name, const QString &value);
    bool start();
    qint64 pid() const;
    bool isRunning() const;

    // Everything the process wrote so far, stdout and stderr interleaved.
    // The launcher writes a line per frame: a test that keeps it busy for long
    // calls this (or waitForOutput) now and then, or the pipe fills and the
    // launcher stalls on its next line.
    QByteArray output();
    // Waits until text appears in the output; false on timeout or exit.
    bool waitForOutput(const QByteArray &text, int timeoutMs = 10000);

    // User plus system CPU time of the process so far, in milliseconds.
    qint64 cpuTimeMs() const;

    // SIGTERM, then waits; returns the exit code, or -1 if it had to be killed.
    int stop(int timeoutMs = 10000);

    QString configDir() const { return m_config.path(); }
    static QString executable();

private:
    LauncherProcess(const LauncherProcess &) = delete;
    LauncherProcess &operator=(const LauncherProcess &) = delete;

    QTemporaryDir m_config;
    QProcessEnvironment m_env;
    QProcess m_process;
    QByteArray m_output;
};

#endif
