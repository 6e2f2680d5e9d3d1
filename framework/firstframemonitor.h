#ifndef FIRSTFRAMEMONITOR_H
#define FIRSTFRAMEMONITOR_H

#include <QObject>

// Reports procFlushDone() once the first frame of the home screen is on screen.
class FirstFrameMonitor : public QObject
{
    Q_OBJECT
public:
    static FirstFrameMonitor *getInstance();
    static void releaseInstance();

    bool preCheck();

Q_SIGNALS:
    void procFlushDone();

private:
    FirstFrameMonitor();
    ~FirstFrameMonitor() override;
};

#endif
