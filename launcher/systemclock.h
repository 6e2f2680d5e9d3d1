#ifndef SYSTEMCLOCK_H
#define SYSTEMCLOCK_H

#include <cstdint>

// The one way the launcher sets the machine's clock. Tests install a recorder
// so that no test can ever move the real clock.
class SystemClock
{
public:
    virtual ~SystemClock();
    // Seconds since the epoch; the result is not looked at by the callers.
    virtual int setTime(int64_t seconds) = 0;

    static SystemClock *instance();
    // Not owned; nullptr restores the real clock.
    static void setInstance(SystemClock *clock);
};

#endif
