#include "implicitrulemanager.h"

#include "journal.h"

namespace zyappframework {

ImplicitRuleManager::ImplicitRuleManager() = default;
ImplicitRuleManager::~ImplicitRuleManager() = default;

QSharedPointer<ImplicitRuleManager> ImplicitRuleManager::self()
{
    static const auto *const instance = new QSharedPointer<ImplicitRuleManager>(
        new ImplicitRuleManager);
    Journal::trace("ImplicitRuleManager::self");
    return *instance;
}

} // namespace zyappframework
