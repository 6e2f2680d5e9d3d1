#ifndef SIGNALQUIT_H
#define SIGNALQUIT_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a clean return from the event loop, so the
// launcher's teardown runs instead of the process dying mid-frame.
class SignalQuit : public QObject
{
    Q_OBJECT
public:
    // Once per process, on the GUI thread with a running application object;
    // later calls do nothing.
    static void install();

private:
    explicit SignalQuit(int readFd);
    void readSignal();

    QSocketNotifier *m_notifier;
};

#endif
