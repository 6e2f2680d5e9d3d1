#ifndef SIGNALQUIT_H
#define SIGNALQUIT_H

// Turns SIGINT and SIGTERM into a clean return from the event loop, so the
// launcher's teardown runs instead of the process dying mid-frame.
class SignalQuit
{
public:
    // Once per process, on the GUI thread with a running application object;
    // later calls do nothing.
    static void install();
};

#endif
