#include "infomodule.h"

#include "journal.h"

QObject *InfoModule::getObject()
{
    Journal::trace("Module::getObject");
    return this;
}

void InfoModule::allServiceReady()
{
    Journal::trace("InfoModule::allServiceReady");
}
