#include "boottimeline.h"

#include <QFile>
#include <QtDebug>

#include <ctime>
#include <unistd.h>

// Process start on the CLOCK_BOOTTIME scale, in nanoseconds. The kernel
// reports it in clock ticks since boot (field 22 of /proc/self/stat); the
// command name before it may hold spaces and parentheses, so count from the
// last ')'.
static qint64 processStartNs()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // fields[0] is field 3 (state), so starttime (field 22) is fields[19].
    if (fields.size() < 20)
        return -1;
    bool ok = false;
    const qint64 ticks = fields.at(19).toLongLong(&ok);
    const long hz = sysconf(_SC_CLK_TCK);
    if (!ok || hz <= 0)
        return -1;
    return ticks * (1000000000LL / hz);
}

static qint64 bootTimeNs()
{
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

qint64 BootTimeline::sinceProcessStart()
{
    static const qint64 start = processStartNs();
    if (start < 0)
        return -1;
    return (bootTimeNs() - start) / 1000000;
}

BootTimeline *BootTimeline::instance()
{
    static BootTimeline timeline;
    return &timeline;
}

BootTimeline::BootTimeline()
{
    for (auto &ms : m_ms)
        ms.store(-1);
}

void BootTimeline::mark(Mark which)
{
    qint64 unset = -1;
    m_ms[which].compare_exchange_strong(unset, sinceProcessStart());
    if (which == Finished && !m_logged.test_and_set())
        qInfo().noquote() << "hostframework: boot timeline:" << summary();
}

qint64 BootTimeline::elapsed(Mark which) const
{
    return m_ms[which].load();
}

QString BootTimeline::summary() const
{
    static const char *const names[MarkCount] = {"first-frame", "stage1", "stage2", "finished"};
    QStringList parts;
    for (int i = 0; i < MarkCount; ++i) {
        const qint64 ms = elapsed(Mark(i));
        parts << QStringLiteral("%1=%2 ms")
                     .arg(QLatin1String(names[i]),
                          ms < 0 ? QStringLiteral("-") : QString::number(ms));
    }
    return parts.join(QLatin1Char(' '));
}
