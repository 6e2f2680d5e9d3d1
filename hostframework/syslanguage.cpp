#include "syslanguage.h"

#include <QMutex>
#include <QMutexLocker>

#include "journal.h"
#include "journalcalls.h"

namespace {
QMutex s_lock;
QString s_language = QStringLiteral("en");
} // namespace

void SysLanguage::exeLanguage(QString code)
{
    {
        QMutexLocker locker(&s_lock);
        s_language = code;
    }
    Journal::trace(JournalCall::exeLanguage, code);
}

QString SysLanguage::currentLanguage()
{
    QMutexLocker locker(&s_lock);
    return s_language;
}
