// Preloaded into a Qt program (LD_PRELOAD): reports, in milliseconds since
// the process started, when the libraries are loaded and initialised (just
// before main), when the application object exists and when its event loop
// first runs. The same probe goes into the launcher and the bare program, so
// both are timed the same way.
#include <QCoreApplication>
#include <QTimer>

#include "processclock.h"

__attribute__((constructor)) static void probeLoaded()
{
    std::fprintf(stderr, "startprobe: loaded=%.1f ms\n", msSinceProcessStart());
}

static void probeEventLoop()
{
    std::fprintf(stderr, "startprobe: app=%.1f ms\n", msSinceProcessStart());
    // A zero timer fires at the first turn of the event loop.
    QTimer::singleShot(
        0, [] { std::fprintf(stderr, "startprobe: event-loop=%.1f ms\n", msSinceProcessStart()); });
}

Q_COREAPP_STARTUP_FUNCTION(probeEventLoop)
