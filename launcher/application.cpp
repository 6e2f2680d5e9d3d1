#include "application.h"

#include <QEvent>

#include <cstring>

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{ }

Application::~Application() { }

bool Application::notify(QObject *receiver, QEvent *event)
{
    if (isApVisible())
        return QApplication::notify(receiver, event);

    switch (event->type()) {
    case QEvent::Timer:
        // Only the pixmap cache's flush timer is held back; every other timer must
        // keep firing while hidden. A null receiver goes on to the base, which warns.
        if (receiver && std::strcmp(receiver->metaObject()->className(), "QPMCache") == 0)
            return true;
        break;
    case QEvent::MouseMove:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
    case QEvent::Paint:
    case QEvent::Resize:
    case QEvent::Create:
    case QEvent::Destroy:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ParentChange:
    case QEvent::FocusAboutToChange:
    case QEvent::ShowToParent:
    case QEvent::HideToParent:
    case QEvent::PaletteChange:
    case QEvent::ChildAdded:
    case QEvent::ChildPolished:
    case QEvent::ChildRemoved:
    case QEvent::ShowWindowRequest:
    case QEvent::PolishRequest:
    case QEvent::Polish:
    case QEvent::LayoutRequest:
    case QEvent::UpdateRequest:
    case QEvent::UpdateLater:
    case QEvent::FontChange:
    case QEvent::InputMethodQuery:
        return true;
    default:
        break;
    }
    return QApplication::notify(receiver, event);
}
