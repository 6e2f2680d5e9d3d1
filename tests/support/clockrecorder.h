#ifndef CLOCKRECORDER_H
#define CLOCKRECORDER_H

#include <QMutex>
#include <QVector>

#include <cerrno>

#include "systemclock.h"

// Stands in for the machine's clock, from any thread: notes the times it is
// set to, can refuse them like an unprivileged process, and can put "now" on a
// chosen local date and time.
class ClockRecorder : public SystemClock
{
public:
    QDateTime now() const override
    {
        QMutexLocker locker(&m_lock);
        return m_now.isValid() ? m_now : SystemClock::now();
    }
    int setTime(int64_t seconds) override
    {
        QMutexLocker locker(&m_lock);
        m_times.append(seconds);
        errno = m_error;
        return m_error ? -1 : 0;
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
    // An invalid time goes back to the real one.
    void setNow(const QDateTime &now)
    {
        QMutexLocker locker(&m_lock);
        m_now = now;
    }
    void failWith(int error)
    {
        QMutexLocker locker(&m_lock);
        m_error = error;
    }

private:
    mutable QMutex m_lock;
    QVector<qint64> m_times;
    QDateTime m_now;
    int m_error = 0;
};

#endif
