#ifndef DATADEFAULT_H
#define DATADEFAULT_H

#include <QString>
#include <QVariant>

// Factory defaults of the settings.
class DataDefault
{
public:
    static void initDataDefault();
    static QVariant getDefault(QString key);
};

#endif
