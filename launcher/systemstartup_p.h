#ifndef SYSTEMSTARTUP_P_H
#define SYSTEMSTARTUP_P_H

#include "systemstartup.h"

class FirstFrameMonitor;
class QTimer;

class SystemStartupPrivate
{
    Q_DECLARE_PUBLIC(SystemStartup)
public:
    SystemStartupPrivate();
    ~SystemStartupPrivate();

    void _startupSvcThread();
    void _exeSvcFinished();
    void _stageReady(SvcControl::ExeStage stage);
    void directStageReady();
    void normalStageReady();

    SystemStartup *q_ptr;
    SvcControl *svcControl;
    FirstFrameMonitor *frameMonitor;
    QTimer *timer;
};

#endif
