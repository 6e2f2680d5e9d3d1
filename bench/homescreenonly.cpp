// Start-up without the launcher: a bare Qt program that brings up only the
// desktop framework's home screen and reports its first frame from the same
// boot timeline the launcher's figure comes from. The difference to the
// launcher is the launcher's own start sequence.
#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>

#include "boottimeline.h"
#include "homescreen.h"

namespace {
// Paint events the home screen gets before its first frame is reported.
class PaintCounter : public QObject
{
public:
    QObject *screen = nullptr;
    int paints = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == screen && event->type() == QEvent::Paint
            && BootTimeline::instance()->elapsed(BootTimeline::FirstFrame) < 0)
            ++paints;
        return false;
    }
};
} // namespace

int main(int argc, char **argv)
{
    BootTimeline::sinceProcessStart();
    QApplication app(argc, argv);
    PaintCounter counter;
    app.installEventFilter(&counter);
    counter.screen = HomeScreen::bringUp();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const qint64 ms = BootTimeline::instance()->elapsed(BootTimeline::FirstFrame);
        if (ms < 0)
            return;
        poll.stop();
        std::fprintf(stderr, "homescreen: first-frame=%lld ms paints-before=%d\n",
                     static_cast<long long>(ms), counter.paints);
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    poll.start(1);
    return app.exec();
}
