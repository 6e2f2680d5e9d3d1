#ifndef INFOMODULE_H
#define INFOMODULE_H

#include <QObject>

#include "module.h"

// The "info" module; told once all services are up.
class InfoModule : public QObject, public zyappframework::Module
{
    Q_OBJECT
public:
    QObject *getObject() override;

public Q_SLOTS:
    void allServiceReady();
};

#endif
