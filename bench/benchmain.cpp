// launcher-bench: the launcher's hot paths against their baselines, each pair
// measured in the same run, each printed with its ratio.
#include "benchutil.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "journal.h"

namespace {
FILE *s_out = stdout;
}

FILE *Bench::out()
{
    return s_out;
}

void Bench::silenceStdout()
{
    fflush(stdout);
    if (s_out == stdout) {
        s_out = fdopen(dup(STDOUT_FILENO), "w");
        setvbuf(s_out, nullptr, _IOLBF, 0);
    }
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    // As the link's Start() leaves it: one write per line.
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

static int usage()
{
    std::fprintf(
        stderr,
        "usage: launcher-bench MODE [options]\n"
        "  inbound [rounds]       reassembly and dispatch vs raw reads and the literal reassembly\n"
        "  callgrind VARIANT N    N frames through one consumer only (raw, ours, literal, full), "
        "for callgrind\n"
        "  alloc                  heap allocations per inbound and outbound frame in steady state\n"
        "  send [seconds]         SendData from 1, 2 and 4 threads to a peer reading at full "
        "speed\n"
        "  event [rounds]         Application::notify + beep filter vs a plain QApplication\n"
        "  dlt [rounds] [label]   the full inbound path, registered in DLT (tools/bench.sh sets\n"
        "                         up the daemon and the levels)\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    // Framework calls cost nothing: only the launcher's own work is measured.
    Journal::setEnabled(false);
    const char *mode = argv[1];
    if (!std::strcmp(mode, "inbound"))
        return Bench::runInbound(argc - 1, argv + 1);
    if (!std::strcmp(mode, "callgrind"))
        return Bench::runCallgrind(argc - 1, argv + 1);
    if (!std::strcmp(mode, "alloc"))
        return Bench::runAllocations(argc - 1, argv + 1);
    if (!std::strcmp(mode, "send"))
        return Bench::runSend(argc - 1, argv + 1);
    if (!std::strcmp(mode, "event"))
        return Bench::runEvent(argc - 1, argv + 1);
    if (!std::strcmp(mode, "dlt"))
        return Bench::runDlt(argc - 1, argv + 1);
    if (!std::strcmp(mode, "event-child"))
        return Bench::runEventChild(argc - 1, argv + 1);
    return usage();
}
