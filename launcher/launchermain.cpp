#include "launchermain.h"

#include <QDebug>
#include <QTextCodec>

#include "application.h"
#include "dltlog.h"
#include "mainstart.h"
#include "meventfilter.h"
#include "servicenotifier.h"

int launcherMain(int &argc, char **argv)
{
    // First in and last out, so the whole debug log reaches DLT, teardown included.
    DltLog dlt;
    Application app(argc, argv);
    // Before the start sequence, whose stages it reports.
    ServiceNotifier notifier;

    qDebug() << "QApplication===>Application\n\n ";
    qDebug() << "\n\n\n ";
    qDebug() << "\t             QT new Launcher start !!";
    qDebug() << "\n";
    qDebug() << "\t app build: " << __DATE__ << "  " << __TIME__;
    qDebug() << "\n\n\n ";

    // On the application object, the filter sees key events of every main-thread
    // object before their own filters do.
    app.installEventFilter(MEventFilter::GetInstance());

    MainStart mainStart;
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    mainStart.start();

    const int ret = app.exec();
    ServiceNotifier::stopping();

    // The filter goes first; mainStart and app follow in reverse order of construction.
    // The MCU link is left alone: its reader thread may still be blocked in read().
    MEventFilter::DeleteInstance();
    return ret;
}
