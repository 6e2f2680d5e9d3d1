#include "syslanguage.h"

#include <QGlobalStatic>
#include <QMutex>
#include <QMutexLocker>

#include "journal.h"
#include "journalcalls.h"

namespace {
struct Language
{
    QMutex lock;
    QString code = QStringLiteral("en");
};
// Built on first use, not before main().
Q_GLOBAL_STATIC(Language, s_language)
} // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param) the framework declares it by value
void SysLanguage::exeLanguage(QString code)
{
    {
        QMutexLocker locker(&s_language->lock);
        s_language->code = code;
    }
    Journal::trace(JournalCall::exeLanguage, code);
}

QString SysLanguage::currentLanguage()
{
    QMutexLocker locker(&s_language->lock);
    return s_language->code;
}
