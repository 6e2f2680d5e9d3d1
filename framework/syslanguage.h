#ifndef SYSLANGUAGE_H
#define SYSLANGUAGE_H

#include <QString>

class SysLanguage
{
public:
    static void exeLanguage(QString code);
    static QString currentLanguage();
};

#endif
