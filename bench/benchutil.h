#ifndef BENCHUTIL_H
#define BENCHUTIL_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace Bench {

// Where results go: standard output itself is sent to /dev/null while the
// link's own lines are printed.
FILE *out();
// Sends standard output to /dev/null, line-buffered as the launcher keeps it.
void silenceStdout();

inline int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

inline int64_t threadCpuNs()
{
    return nowNs(CLOCK_THREAD_CPUTIME_ID);
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double best(const std::vector<double> &v, bool highest)
{
    if (v.empty())
        return 0;
    return highest ? *std::max_element(v.begin(), v.end()) : *std::min_element(v.begin(), v.end());
}

int runInbound(int argc, char **argv);
int runCallgrind(int argc, char **argv);
int runAllocations(int argc, char **argv);
int runSend(int argc, char **argv);
int runEvent(int argc, char **argv);
// The full inbound path with the launcher registered in DLT as the environment sets it up.
int runDlt(int argc, char **argv);
int runEventChild(int argc, char **argv);
// Prints the outbound allocation counts; returns the largest.
long reportOutboundAllocations();

} // namespace Bench

#endif
