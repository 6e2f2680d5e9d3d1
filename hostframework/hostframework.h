#ifndef HOSTFRAMEWORK_H
#define HOSTFRAMEWORK_H

#include <QStringList>
#include <QVector>

#include "journal.h"

class SvcControl;
namespace zyappframework {
class MainAppProtocolComm;
}

// Controls and read-outs of the desktop framework that the real framework does
// not have: tests use them to set up cases, the home screen to show state.
namespace HostFramework {

// Application::isApVisible(); true by default.
void setApVisible(bool visible);

// PlatformControl::getInstance() returns null while unavailable.
void setPlatformControlAvailable(bool available);
void setCustomerVersion(const QString &version);
void setSdkVersion(const QString &version);
// BaseControl::getDateVersion(); a null string restores the build date.
void setDateVersion(const QString &version);

// ModuleManager::getModule("info") returns null while unavailable.
void setInfoModuleAvailable(bool available);
// What ModuleManager::initModule() was given, and the last setStartupStage().
zyappframework::MainAppProtocolComm *moduleLink();
int startupStage();

// Removes every stored setting.
void clearSettings();

// While manual, SvcControl::exeStage(stage, false) and stop() only journal,
// and the test emits stageReady()/finished() on lastSvcControl() itself.
void setSvcControlManual(bool manual);
SvcControl *lastSvcControl();
// Names of the services running in any SvcControl.
QStringList runningServices();

// The home screen tells the first-frame monitor that its first frame is shown.
void reportFirstFrame();
bool firstFrameShown();

// The last few messages handed to the activity manager (only while the
// journal is on), oldest first.
QVector<Journal::Entry> recentActivity();

} // namespace HostFramework

#endif
