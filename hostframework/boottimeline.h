#ifndef BOOTTIMELINE_H
#define BOOTTIMELINE_H

#include <QString>
#include <QtGlobal>
#include <atomic>

// Milliseconds from process start to each milestone of start-up, kept the way
// an application manager's start-up timer keeps them. Thread-safe.
class BootTimeline
{
public:
    enum Mark { FirstFrame, Stage1, Stage2, Finished, MarkCount };

    static BootTimeline *instance();

    // Keeps the first figure of each mark. Reaching Finished writes the
    // timeline to the log, once per process.
    void mark(Mark which);
    // -1 until reached.
    qint64 elapsed(Mark which) const;
    // "first-frame=123 ms stage1=140 ms stage2=160 ms finished=170 ms",
    // with "-" for a mark not reached.
    QString summary() const;

    // Milliseconds since the kernel started this process (10 ms granularity).
    static qint64 sinceProcessStart();

private:
    BootTimeline();
    std::atomic<qint64> m_ms[MarkCount];
    std::atomic_flag m_logged = ATOMIC_FLAG_INIT;
};

#endif
