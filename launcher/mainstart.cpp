#include "mainstart.h"

#include <QDebug>
#include <QSharedPointer>

#include "activitymanager.h"
#include "implicitrulemanager.h"
#include "launcherconfig.h"
#include "mainappprotocolcomm.h"
#include "modulemanager.h"
#include "servicenotifier.h"
#include "sysconfig.h"
#include "systemstartup.h"

MainStart::MainStart()
{
    qDebug("---%s---", __FUNCTION__);
}

MainStart::~MainStart()
{
    qDebug("%s ", __FUNCTION__);
}

void MainStart::start()
{
    using namespace zyappframework;

    qDebug("%s", __FUNCTION__);

    // Language and drive side go in before any framework manager exists, so
    // the managers come up with them already applied.
    ServiceNotifier::status("Applying the stored settings");
    SysConfig sysConfig;
    sysConfig.exeDisConfig();

    // Created for their side effects on the framework only.
    ServiceNotifier::status("Starting the framework's managers");
    ImplicitRuleManager::self();
    const QSharedPointer<ModuleManager> moduleManager = ModuleManager::self();
    Q_UNUSED(moduleManager)
    ActivityManager::self();

    ServiceNotifier::status("Opening the MCU link");
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    ModuleManager::initModule(link);
    // The modules hold the link before the MCU learns we are ready, so they
    // can answer what it sends next.
    link->AppReady();

    ServiceNotifier::status("Waiting for the first frame");
    // Deletes itself once the service stages are done.
    (new SystemStartup(nullptr))->bgStart();

    qDebug("UI is %s \n", LAUNCHER_UI_VARIANT);
}
