#include "firstframemonitor.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>
#include <atomic>

#include "homescreen.h"
#include "hostframework.h"
#include "journalcalls.h"

namespace {
FirstFrameMonitor *s_instance = nullptr;
int s_refs = 0;
bool s_pending = false;
std::atomic<bool> s_shown {false};

// Until the home screen reports its own first frame, the first expose of any
// visible top-level window counts.
class ExposeWatcher : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // An expose comes before the paint; the home screen knows when its
        // frame has actually been flushed.
        if (event->type() == QEvent::Expose && !s_shown && !HomeScreen::exists()) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window && window->isVisible() && window->isExposed())
                HostFramework::reportFirstFrame();
        }
        return false;
    }
};

void watchExposes()
{
    static ExposeWatcher *watcher = nullptr;
    if (!watcher && QCoreApplication::instance()) {
        watcher = new ExposeWatcher;
        QCoreApplication::instance()->installEventFilter(watcher);
    }
}

bool anyWindowExposed()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    const auto windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows) {
        if (window->isVisible() && window->isExposed())
            return true;
    }
    return false;
}
} // namespace

void HostFramework::reportFirstFrame()
{
    s_shown = true;
    if (s_instance && s_pending) {
        s_pending = false;
        Q_EMIT s_instance->procFlushDone();
    }
}

bool HostFramework::firstFrameShown()
{
    return s_shown;
}

FirstFrameMonitor::FirstFrameMonitor() = default;
FirstFrameMonitor::~FirstFrameMonitor() = default;

FirstFrameMonitor *FirstFrameMonitor::getInstance()
{
    Journal::trace("FirstFrameMonitor::getInstance");
    if (!s_instance)
        s_instance = new FirstFrameMonitor;
    ++s_refs;
    watchExposes();
    return s_instance;
}

void FirstFrameMonitor::releaseInstance()
{
    Journal::trace(JournalCall::releaseInstance);
    if (s_refs > 0 && --s_refs == 0) {
        delete s_instance;
        s_instance = nullptr;
        s_pending = false;
    }
}

// procFlushDone() follows once per call: at once if a frame is already shown.
bool FirstFrameMonitor::preCheck()
{
    Journal::trace(JournalCall::preCheck);
    watchExposes();
    if (!s_shown && !HomeScreen::exists() && anyWindowExposed())
        s_shown = true;
    if (s_shown) {
        s_pending = false;
        Q_EMIT procFlushDone();
        return true;
    }
    s_pending = true;
    return false;
}
