#include "linklog.h"

#include <cstdarg>
#include <cstdio>

void linkLine(const char *format, ...)
{
    // Longer than any line of the link: the longest carries a socket name
    // (at most 107 bytes) and an error text.
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
}
