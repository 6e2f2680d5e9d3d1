#include "uimanager.h"

#include <atomic>

#include "journal.h"

namespace {
std::atomic<bool> s_rightDrive{false};
}

namespace zyappframework {

void UIManager::setRightDrive(bool rightDrive, bool relayout)
{
    s_rightDrive = rightDrive;
    Journal::trace("UIManager::setRightDrive", rightDrive, relayout);
}

bool UIManager::isRightDrive()
{
    return s_rightDrive;
}

} // namespace zyappframework
