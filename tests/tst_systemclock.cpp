// The real clock seam, not the recorder the other tests install. Setting is
// tried only in a child process that has given up the right to set the clock,
// so the kernel answers and the machine's clock never moves.

#include "systemclock.h"

#include <QtTest>

#include <cerrno>
#include <ctime>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whether this process could set the clock: CapEff in /proc/self/status.
bool maySetClock()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << CAP_SYS_TIME);
    }
    return true;
}

// Drops CAP_SYS_TIME from every set of this process, for good.
void dropClockCapability()
{
    prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    for (__user_cap_data_struct &set : data) {
        set.effective &= ~(1U << CAP_SYS_TIME);
        set.permitted &= ~(1U << CAP_SYS_TIME);
        set.inheritable &= ~(1U << CAP_SYS_TIME);
    }
    syscall(SYS_capset, &header, data);
}

// The errno the real clock reports for seconds, from a child that cannot set
// the clock; -1 when it could have and so did not try.
int refusalFor(qint64 seconds)
{
    const pid_t child = fork();
    if (child == 0) {
        dropClockCapability();
        if (maySetClock())
            _exit(255);
        SystemClock::setInstance(nullptr);
        const int result = SystemClock::instance()->setTime(seconds);
        _exit(result == -1 ? errno : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)
        || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

class TestSystemClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Half an hour off any whole hour, so no other zone can pass for it.
        qputenv("TZ", "Asia/Kolkata");
        tzset();
    }

    void nowIsLocalTime()
    {
        const QDateTime now = SystemClock::instance()->now();
        QCOMPARE(now.timeSpec(), Qt::LocalTime);
        QCOMPARE(now.offsetFromUtc(), 5 * 3600 + 30 * 60);
        QVERIFY(qAbs(now.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    }

    void setTime_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("error");
        // The kernel checks the time before the right to set it, so its
        // answer tells which time reached it.
        QTest::newRow("2026-03-29 13:05 UTC: tried, not permitted") << qint64(1774789500) << EPERM;
        QTest::newRow("the epoch: tried, not permitted") << qint64(0) << EPERM;
        QTest::newRow("before the epoch: passed on, invalid") << qint64(-1) << EINVAL;
        // Past what the kernel accepts; with a 32-bit time_t it does not fit at all.
        QTest::newRow("2^40 s, 35,000 years on")
            << (qint64(1) << 40) << (sizeof(time_t) < 8 ? EOVERFLOW : EINVAL);
    }

    void setTime()
    {
        QFETCH(qint64, seconds);
        QFETCH(int, error);
        const int refusal = refusalFor(seconds);
        if (refusal < 0)
            QFAIL("the child could not give up the right to set the clock");
        QCOMPARE(qt_error_string(refusal), qt_error_string(error));
    }
};

QTEST_GUILESS_MAIN(TestSystemClock)
#include "tst_systemclock.moc"
