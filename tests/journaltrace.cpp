// Preloaded into the launcher by the end-to-end tests: writes each framework
// call of the desktop framework's journal to stderr, as "journal: Call args".
#include <QMutex>

#include <cstdio>

#include "journal.h"

namespace {

void flushJournal()
{
    // Calls arrive from the main and the reader thread; print each once, in order.
    static QMutex lock;
    static int printed = 0;
    QMutexLocker locker(&lock);
    const QVector<Journal::Entry> entries = Journal::instance()->entries();
    for (; printed < entries.size(); ++printed) {
        QStringList args;
        for (const QVariant &a : entries.at(printed).args)
            args << (a.type() == QVariant::ByteArray ? QString::fromLatin1(a.toByteArray().toHex()) : a.toString());
        std::fprintf(stderr, "journal: %s %s\n", qPrintable(entries.at(printed).call), qPrintable(args.join(QLatin1Char(' '))));
    }
}

const bool s_connected = [] {
    QObject::connect(Journal::instance(), &Journal::recorded, flushJournal);
    return true;
}();

} // namespace
