#ifndef IMPLICITRULEMANAGER_H
#define IMPLICITRULEMANAGER_H

#include <QSharedPointer>

namespace zyappframework {

class ImplicitRuleManager
{
public:
    static QSharedPointer<ImplicitRuleManager> self();
    virtual ~ImplicitRuleManager();

protected:
    ImplicitRuleManager();

private:
    ImplicitRuleManager(const ImplicitRuleManager &) = delete;
    ImplicitRuleManager &operator=(const ImplicitRuleManager &) = delete;
};

} // namespace zyappframework

#endif
