#ifndef SYSTEMCLOCK_H
#define SYSTEMCLOCK_H

#include <QDateTime>

#include <cstdint>

// The one way the launcher reads and sets the machine's clock. Tests install a
// recorder, so that no test ever moves the real clock and any test can choose
// the date it runs on.
class SystemClock
{
public:
    virtual ~SystemClock();
    // The local date and time.
    virtual QDateTime now() const;
    // Seconds since the epoch; 0 when set, otherwise -1 with errno saying why.
    virtual int setTime(int64_t seconds) = 0;

    static SystemClock *instance();
    // Not owned; nullptr restores the real clock.
    static void setInstance(SystemClock *clock);
};

#endif
