#include "signalquit.h"

#include <QCoreApplication>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "signalnotifier.h"

void SignalQuit::install()
{
    static bool installed = false;
    if (installed || !QCoreApplication::instance())
        return;
    SignalNotifier *notifier = SignalNotifier::create(QCoreApplication::instance());
    if (!notifier) {
        qWarning("hostframework: no signal pipe (%s), SIGINT and SIGTERM keep their default",
                 strerror(errno));
        return;
    }
    installed = true;
    QObject::connect(notifier, &SignalNotifier::received, notifier, [](int sig) {
        qInfo("hostframework: %s received, quitting the event loop",
              sig == SIGINT        ? "SIGINT"
                  : sig == SIGTERM ? "SIGTERM"
                                   : "signal");
        QCoreApplication::quit();
    });
}
