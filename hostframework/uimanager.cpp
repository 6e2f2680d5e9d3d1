#include "uimanager.h"

#include <QGuiApplication>

#include <atomic>

#include "journal.h"
#include "journalcalls.h"

namespace {
std::atomic<bool> s_rightDrive {false};
}

namespace zyappframework {

void UIManager::setRightDrive(bool rightDrive, bool relayout)
{
    s_rightDrive = rightDrive;
    // Seated on the right, the driver reaches the screen's right-hand edge
    // first: the whole interface is mirrored, on the GUI thread.
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QMetaObject::invokeMethod(app, [rightDrive] {
            QGuiApplication::setLayoutDirection(rightDrive ? Qt::RightToLeft : Qt::LeftToRight);
        });
    }
    Journal::trace(JournalCall::setRightDrive, rightDrive, relayout);
}

bool UIManager::isRightDrive()
{
    return s_rightDrive;
}

} // namespace zyappframework
