#include "systemstartup.h"
#include "systemstartup_p.h"

#include <QSharedPointer>
#include <QTimer>

#include "firstframemonitor.h"
#include "module.h"
#include "modulemanager.h"
#include "servicenotifier.h"

namespace {
const int selfDeleteDelayMs = 5000;
}

SystemStartupPrivate::SystemStartupPrivate()
    : q_ptr(nullptr)
    , svcControl(nullptr)
    , frameMonitor(nullptr)
    , timer(nullptr)
{ }

SystemStartupPrivate::~SystemStartupPrivate()
{
    if (frameMonitor) {
        FirstFrameMonitor::releaseInstance();
        frameMonitor = nullptr;
    }
}

void SystemStartupPrivate::_startupSvcThread()
{
    // The unit counts as up once its first frame is on the screen.
    ServiceNotifier::ready("First frame shown, starting the direct services");
    svcControl->exeStage(SvcControl::DirectStage, false);
}

void SystemStartupPrivate::_exeSvcFinished()
{
    // Cuts the "info" module's connection too: late signals of the controller
    // must not reach anything once the start-up is over.
    QObject::disconnect(svcControl, nullptr, nullptr, nullptr);
    ServiceNotifier::status("Running");
    if (timer) {
        timer->setSingleShot(true);
        timer->start(selfDeleteDelayMs);
    }
}

void SystemStartupPrivate::_stageReady(SvcControl::ExeStage stage)
{
    switch (stage) {
    case SvcControl::DirectStage:
        directStageReady();
        break;
    case SvcControl::NormalStage:
        normalStageReady();
        break;
    default:
        break;
    }
}

void SystemStartupPrivate::directStageReady()
{
    QSharedPointer<zyappframework::ModuleManager> manager = zyappframework::ModuleManager::self();
    manager->setStartupStage(1);
    manager->stageDone(true);
    ServiceNotifier::status("Direct services ready, starting the normal services");
    svcControl->exeStage(SvcControl::NormalStage, false);
}

void SystemStartupPrivate::normalStageReady()
{
    QSharedPointer<zyappframework::ModuleManager> manager = zyappframework::ModuleManager::self();
    manager->setStartupStage(2);
    manager->stageDone(true);
    ServiceNotifier::status("Normal services ready, finishing the start");
    svcControl->stop(false);
}

SystemStartup::SystemStartup(QObject *parent)
    : QObject(parent)
    , d_ptr(new SystemStartupPrivate)
{
    Q_D(SystemStartup);
    d->q_ptr = this;
    d->frameMonitor = FirstFrameMonitor::getInstance();
    d->svcControl = new SvcControl(this);
}

SystemStartup::~SystemStartup()
{
    Q_D(SystemStartup);
    if (d->frameMonitor) {
        FirstFrameMonitor::releaseInstance();
        d->frameMonitor = nullptr;
    }
    delete d_ptr;
}

void SystemStartup::bgStart()
{
    Q_D(SystemStartup);
    QSharedPointer<zyappframework::ModuleManager> manager = zyappframework::ModuleManager::self();
    QSharedPointer<zyappframework::Module> info = manager->getModule(QString::fromLatin1("info"));

    // Connected before our own finished() slot, so the module hears of it
    // before the controller is disconnected.
    if (info)
        connect(d->svcControl, SIGNAL(finished()), info->getObject(), SLOT(allServiceReady()));
    connect(d->svcControl, SIGNAL(stageReady(SvcControl::ExeStage)), this,
            SLOT(_stageReady(SvcControl::ExeStage)));
    connect(d->svcControl, SIGNAL(finished()), this, SLOT(_exeSvcFinished()));
    // All of this before preCheck(): the framework may report the first frame,
    // both stages and the end from within it, and the end needs the timer.
    d->timer = new QTimer(this);
    connect(d->timer, SIGNAL(timeout()), this, SLOT(deleteLater()));
    connect(d->frameMonitor, SIGNAL(procFlushDone()), this, SLOT(_startupSvcThread()));
    d->frameMonitor->preCheck();
}

void SystemStartup::directStart()
{
    Q_D(SystemStartup);
    QSharedPointer<zyappframework::ModuleManager> manager = zyappframework::ModuleManager::self();
    QSharedPointer<zyappframework::Module> info = manager->getModule(QString::fromLatin1("info"));

    if (info)
        connect(d->svcControl, SIGNAL(finished()), info->getObject(), SLOT(allServiceReady()));
    // No waiting here: each step follows as soon as the one before returns.
    d->svcControl->exeStage(SvcControl::DirectStage, true);
    manager->stageDone(false);
    d->svcControl->exeStage(SvcControl::NormalStage, true);
    d->svcControl->stop(false);
    manager->stageDone(false);
    deleteLater();
}

// NOLINTNEXTLINE(bugprone-suspicious-include) the moc output of the private class above
#include "moc_systemstartup.cpp"
