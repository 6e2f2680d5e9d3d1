#ifndef PROCESSCLOCK_H
#define PROCESSCLOCK_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

// Milliseconds since the kernel started this process, the way the desktop
// framework's boot timeline counts them: starttime (field 22 of
// /proc/self/stat, in clock ticks since boot) against CLOCK_BOOTTIME.
inline double msSinceProcessStart()
{
    static long long startNs = -1;
    if (startNs < 0) {
        char line[1024] = {};
        FILE *f = std::fopen("/proc/self/stat", "r");
        if (!f)
            return -1;
        const size_t n = std::fread(line, 1, sizeof line - 1, f);
        std::fclose(f);
        line[n] = '\0';
        // The command name may hold spaces: count from the last ')'.
        const char *p = std::strrchr(line, ')');
        if (!p)
            return -1;
        p += 2;
        for (int field = 3; field < 22 && p; ++field) {
            p = std::strchr(p, ' ');
            if (p)
                ++p;
        }
        if (!p)
            return -1;
        startNs = std::atoll(p) * (1000000000LL / sysconf(_SC_CLK_TCK));
    }
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return double((long long)ts.tv_sec * 1000000000LL + ts.tv_nsec - startNs) / 1e6;
}

#endif
