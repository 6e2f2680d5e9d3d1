#include "systemclock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

class RealClock : public SystemClock
{
public:
    int setTime(int64_t seconds) override
    {
        timespec ts {};
        ts.tv_sec = time_t(seconds);
        // A 32-bit time_t ends in January 2038: a later time must not wrap to 1901.
        if (int64_t(ts.tv_sec) != seconds) {
            errno = EOVERFLOW;
            return -1;
        }
        return clock_settime(CLOCK_REALTIME, &ts);
    }
};

// Read by the reader thread, replaced by tests from the main thread.
std::atomic<SystemClock *> s_replacement {nullptr};

} // namespace

SystemClock::~SystemClock() = default;

QDateTime SystemClock::now() const
{
    return QDateTime::currentDateTime();
}

SystemClock *SystemClock::instance()
{
    static RealClock s_real;
    SystemClock *clock = s_replacement.load();
    return clock ? clock : &s_real;
}

void SystemClock::setInstance(SystemClock *clock)
{
    s_replacement.store(clock);
}
