#ifndef UIMANAGER_H
#define UIMANAGER_H

namespace zyappframework {

class UIManager
{
public:
    static void setRightDrive(bool rightDrive, bool relayout);
    static bool isRightDrive();
};

} // namespace zyappframework

#endif
