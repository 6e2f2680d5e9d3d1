#ifndef CLOCKRECORDER_H
#define CLOCKRECORDER_H

#include <QMutex>
#include <QVector>

#include <atomic>
#include <cerrno>

#include "systemclock.h"

// Stands in for the machine's clock: notes the times it is set to, from any
// thread, and can put "now" on a chosen date or refuse to be set.
class ClockRecorder : public SystemClock
{
public:
    // Chosen before any other thread reads it; invalid means the real time.
    QDateTime fixedNow;
    // Non-zero: setting fails with this errno, as for an unprivileged process.
    std::atomic<int> refusal {0};

    QDateTime now() const override { return fixedNow.isValid() ? fixedNow : SystemClock::now(); }
    int setTime(int64_t seconds) override
    {
        QMutexLocker locker(&m_lock);
        m_times.append(seconds);
        errno = refusal;
        return refusal ? -1 : 0;
    }
    QVector<qint64> times() const
    {
        QMutexLocker locker(&m_lock);
        return m_times;
    }

private:
    mutable QMutex m_lock;
    QVector<qint64> m_times;
};

#endif
