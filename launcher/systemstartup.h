#ifndef SYSTEMSTARTUP_H
#define SYSTEMSTARTUP_H

#include <QObject>

#include "svccontrol.h"

class SystemStartupPrivate;

// Starts the framework's services in two stages once the first frame is shown,
// then deletes itself.
class SystemStartup : public QObject
{
    Q_OBJECT
public:
    explicit SystemStartup(QObject *parent);
    ~SystemStartup() override;

    void bgStart();
    void directStart();

private:
    Q_DECLARE_PRIVATE(SystemStartup)
    SystemStartupPrivate *const d_ptr;

    Q_PRIVATE_SLOT(d_func(), void _startupSvcThread())
    Q_PRIVATE_SLOT(d_func(), void _exeSvcFinished())
    Q_PRIVATE_SLOT(d_func(), void _stageReady(SvcControl::ExeStage stage))
};

#endif
