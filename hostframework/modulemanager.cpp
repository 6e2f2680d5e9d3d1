#include "modulemanager.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>

#include "boottimeline.h"
#include "homescreen.h"
#include "hostframework.h"
#include "infomodule.h"
#include "journalcalls.h"

namespace {
std::atomic<bool> s_infoAvailable {true};
std::atomic<zyappframework::MainAppProtocolComm *> s_link {nullptr};
std::atomic<int> s_stage {0};
} // namespace

void HostFramework::setInfoModuleAvailable(bool available)
{
    s_infoAvailable = available;
}

zyappframework::MainAppProtocolComm *HostFramework::moduleLink()
{
    return s_link;
}

int HostFramework::startupStage()
{
    return s_stage;
}

namespace zyappframework {

ModuleManager::ModuleManager() = default;
ModuleManager::~ModuleManager() = default;

QSharedPointer<ModuleManager> ModuleManager::self()
{
    static const auto *const instance = new QSharedPointer<ModuleManager>(new ModuleManager);
    Journal::trace("ModuleManager::self");
    return *instance;
}

void ModuleManager::initModule(MainAppProtocolComm *link)
{
    s_link = link;
    Journal::trace(JournalCall::initModule, qulonglong(quintptr(link)));
    // The framework's screens come up once the modules have the link.
    HomeScreen::bringUp();
}

QSharedPointer<Module> ModuleManager::getModule(const QString &name)
{
    Journal::trace(JournalCall::getModule, name);
    if (name != QLatin1String("info") || !s_infoAvailable)
        return {};
    static const auto *const info = [] {
        auto *module = new InfoModule;
        // Its slot must run where the start-up lives, whoever asked first.
        if (QCoreApplication::instance()
            && module->thread() != QCoreApplication::instance()->thread())
            module->moveToThread(QCoreApplication::instance()->thread());
        return new QSharedPointer<Module>(module);
    }();
    return *info;
}

void ModuleManager::reserved()
{
    Journal::trace("ModuleManager::reserved");
}

void ModuleManager::stageDone(bool staged)
{
    Journal::trace("ModuleManager::stageDone", staged);
}

void ModuleManager::setStartupStage(int stage)
{
    s_stage = stage;
    if (stage == 1 || stage == 2)
        BootTimeline::instance()->mark(stage == 1 ? BootTimeline::Stage1 : BootTimeline::Stage2);
    Journal::trace("ModuleManager::setStartupStage", stage);
}

} // namespace zyappframework
