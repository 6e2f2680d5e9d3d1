#ifndef MODULE_H
#define MODULE_H

class QObject;

namespace zyappframework {

class Module
{
public:
    virtual ~Module();
    // The module's object; the "info" module's has the slot allServiceReady().
    virtual QObject *getObject() = 0;
};

} // namespace zyappframework

#endif
