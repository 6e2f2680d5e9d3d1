#include "svccontrol.h"

#include <QGlobalStatic>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <atomic>

#include "boottimeline.h"
#include "hostframework.h"

namespace {
std::atomic<bool> s_manual {false};
SvcControl *s_last = nullptr;

struct Running
{
    QMutex lock;
    QStringList names;
};
// Built on first use, not before main().
Q_GLOBAL_STATIC(Running, s_running)

QStringList servicesOf(SvcControl::ExeStage stage)
{
    if (stage == SvcControl::DirectStage)
        return {QStringLiteral("settings"), QStringLiteral("audio")};
    if (stage == SvcControl::NormalStage)
        return {QStringLiteral("media"), QStringLiteral("bluetooth"), QStringLiteral("navigation")};
    return {};
}

const int s_metaTypeId = qRegisterMetaType<SvcControl::ExeStage>("SvcControl::ExeStage");
} // namespace

// The services of one controller run on a worker thread of their own; each is
// a heartbeat timer there.
class SvcControl::Private
{
public:
    QThread worker;
    QObject *context = nullptr; // lives on the worker thread
    QVector<QTimer *> services; // touched on the worker thread only
    QStringList names;

    void startServices(SvcControl::ExeStage stage)
    {
        const QStringList list = servicesOf(stage);
        for (const QString &name : list) {
            auto *timer = new QTimer(context);
            timer->setInterval(1000);
            timer->start();
            services.append(timer);
            names.append(name);
        }
        QMutexLocker locker(&s_running->lock);
        s_running->names.append(list);
    }

    void stopServices()
    {
        qDeleteAll(services);
        services.clear();
        QMutexLocker locker(&s_running->lock);
        for (const QString &name : qAsConst(names))
            s_running->names.removeOne(name);
        names.clear();
    }

    // A stage after stop() waits for the stopping worker to end first: work
    // posted to a thread whose loop has quit would never run.
    void ensureWorker()
    {
        if (stopping) {
            worker.wait();
            stopping = false;
        }
        if (!worker.isRunning())
            worker.start();
    }

    bool stopping = false; // main thread only
};

void HostFramework::setSvcControlManual(bool manual)
{
    s_manual = manual;
}

SvcControl *HostFramework::lastSvcControl()
{
    return s_last;
}

QStringList HostFramework::runningServices()
{
    QMutexLocker locker(&s_running->lock);
    return s_running->names;
}

SvcControl::SvcControl(QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    Q_UNUSED(s_metaTypeId);
    d->context = new QObject;
    d->context->moveToThread(&d->worker);
    d->worker.setObjectName(QStringLiteral("svccontrol"));
    // Whatever way the worker ends, its timers go on its own thread.
    connect(
        &d->worker, &QThread::finished, d->context, [this] { d->stopServices(); },
        Qt::DirectConnection);
    s_last = this;
}

SvcControl::~SvcControl()
{
    d->worker.quit();
    d->worker.wait();
    delete d->context;
    delete d;
    if (s_last == this)
        s_last = nullptr;
}

void SvcControl::exeStage(SvcControl::ExeStage stage, bool direct)
{
    Journal::trace("SvcControl::exeStage", int(stage), direct);
    if (!direct && s_manual)
        return;
    d->ensureWorker();
    if (direct) {
        QMetaObject::invokeMethod(
            d->context, [this, stage] { d->startServices(stage); }, Qt::BlockingQueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(
        d->context,
        [this, stage] {
            d->startServices(stage);
            // Reported on the controller's own thread, from its event loop.
            QMetaObject::invokeMethod(
                this, [this, stage] { Q_EMIT stageReady(stage); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void SvcControl::stop(bool force)
{
    Journal::trace("SvcControl::stop", force);
    if (s_manual)
        return;
    auto done = [this] {
        BootTimeline::instance()->mark(BootTimeline::Finished);
        Q_EMIT finished();
    };
    if (!d->worker.isRunning()) {
        QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
        return;
    }
    d->stopping = true;
    QMetaObject::invokeMethod(
        d->context,
        [this, done] {
            d->stopServices();
            d->worker.quit();
            QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
