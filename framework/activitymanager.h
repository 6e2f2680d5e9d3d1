#ifndef ACTIVITYMANAGER_H
#define ACTIVITYMANAGER_H

#include <QSharedPointer>
#include "mainappmsg.h"

namespace zyappframework {

// The three MCU hooks are called on the MCU reader thread.
class ActivityManager
{
public:
    static QSharedPointer<ActivityManager> self();

    virtual ~ActivityManager();
    virtual void notifyMcuValue(int value);
    virtual void handleMcuMsg(MainAppNormalMsg msg);
    virtual void handleCanMsg(tag_MCUSRV_TO_MAIN_APP_T frame);

protected:
    ActivityManager();

private:
    ActivityManager(const ActivityManager &) = delete;
    ActivityManager &operator=(const ActivityManager &) = delete;
};

} // namespace zyappframework

#endif
