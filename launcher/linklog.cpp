#include "linklog.h"

#include <cstdarg>
#include <cstdio>

#include "dltlog.h"

namespace {

void printLine(bool perFrame, const char *format, va_list args)
{
    // Longer than any line of the link: the longest carries a socket name
    // (at most 107 bytes) and an error text.
    char line[512];
    const int n = std::vsnprintf(line, sizeof line, format, args);
    if (n < 0)
        return;
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    DltLog::linkLine(line, perFrame);
}

} // namespace

void linkLine(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    printLine(false, format, args);
    va_end(args);
}

void linkFrameLine(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    printLine(true, format, args);
    va_end(args);
}
