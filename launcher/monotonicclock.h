#ifndef MONOTONICCLOCK_H
#define MONOTONICCLOCK_H

#include <cstdint>
#include <ctime>
#include <pthread.h>

// Waits and deadlines on the monotonic clock: this process sets the wall clock
// from the MCU's time, and a jump must neither cut a wait short nor stretch it.
namespace MonotonicClock {

int64_t nowMs();
// ms (0 or more) from now, as pthread_cond_timedwait takes it on a condition
// variable made by initCondition.
timespec after(int ms);
// pthread_mutex_clocklock would do, but only from glibc 2.30 on; a condition
// variable has taken its clock from its attributes for much longer.
void initCondition(pthread_cond_t *cond);

} // namespace MonotonicClock

#endif
