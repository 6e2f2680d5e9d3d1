// The baseline of the start-up figures: a bare Qt program that shows one
// window and reports, as the desktop framework's home screen does, when its
// first frame has been flushed and when its event loop runs.
#include <QApplication>
#include <QMetaObject>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "processclock.h"

namespace {

class FirstWindow : public QWidget
{
public:
    FirstWindow()
    {
        setWindowTitle(QStringLiteral("bare"));
        resize(1024, 600);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QWidget::paintEvent(event);
        if (!m_queued && windowHandle() && windowHandle()->isExposed()) {
            m_queued = true;
            // The backing store is flushed after this paint pass, as in the home screen.
            QMetaObject::invokeMethod(
                this,
                [] {
                    std::fprintf(stderr, "bareqt: first-frame=%.1f ms\n", msSinceProcessStart());
                    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
                },
                Qt::QueuedConnection);
        }
    }

private:
    bool m_queued = false;
};

} // namespace

int main(int argc, char **argv)
{
    msSinceProcessStart();
    QApplication app(argc, argv);
    FirstWindow window;
    window.show();
    QTimer::singleShot(
        0, [] { std::fprintf(stderr, "bareqt: event-loop=%.1f ms\n", msSinceProcessStart()); });
    return app.exec();
}
