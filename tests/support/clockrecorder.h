#ifndef CLOCKRECORDER_H
#define CLOCKRECORDER_H

#include <QMutex>
#include <QVector>

#include "systemclock.h"

// Stands in for the machine's clock: notes the times it is set to, from any thread.
class ClockRecorder : public SystemClock
{
public:
    int setTime(int64_t seconds) override
    {
        QMutexLocker locker(&m_lock);
        m_times.append(seconds);
        return 0;
    }
    QVector<qint64> times() const
    {
        QMutexLocker locker(&m_lock);
        return m_times;
    }
    void clear()
    {
        QMutexLocker locker(&m_lock);
        m_times.clear();
    }

private:
    mutable QMutex m_lock;
    QVector<qint64> m_times;
};

#endif
