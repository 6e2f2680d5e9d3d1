#ifndef MODULEMANAGER_H
#define MODULEMANAGER_H

#include <QSharedPointer>
#include <QString>

namespace zyappframework {

class MainAppProtocolComm;
class Module;

class ModuleManager
{
public:
    static QSharedPointer<ModuleManager> self();
    // Hands the started MCU link to the modules.
    static void initModule(MainAppProtocolComm *link);

    virtual ~ModuleManager();
    virtual QSharedPointer<Module> getModule(const QString &name);
    virtual void reserved();
    virtual void stageDone(bool staged);
    virtual void setStartupStage(int stage);

protected:
    ModuleManager();

private:
    ModuleManager(const ModuleManager &) = delete;
    ModuleManager &operator=(const ModuleManager &) = delete;
};

} // namespace zyappframework

#endif
