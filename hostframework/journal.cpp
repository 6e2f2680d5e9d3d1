#include "journal.h"

#include <QMutexLocker>

namespace {
// A process that runs for days with the journal on must not grow without end;
// when the cap is hit the older half goes.
constexpr int MaxEntries = 1 << 16;
}

Journal *Journal::instance()
{
    // Never destroyed: the MCU reader thread may still record during exit.
    static Journal *const journal = new Journal;
    return journal;
}

void Journal::record(const char *call, QVariantList args)
{
    {
        QMutexLocker locker(&m_lock);
        if (m_entries.size() >= MaxEntries)
            m_entries.remove(0, MaxEntries / 2);
        m_entries.append(Entry{QString::fromLatin1(call), std::move(args)});
    }
    // Outside the lock: a directly connected listener may read the journal.
    Q_EMIT recorded();
}

QVector<Journal::Entry> Journal::entries() const
{
    QMutexLocker locker(&m_lock);
    // A copy of its own, made under the lock: a shared one would let the
    // recording thread's next append decide on a reference count that the
    // reader drops without the lock (a race ThreadSanitizer reports).
    QVector<Entry> copy = m_entries;
    copy.detach();
    return copy;
}

QStringList Journal::calls() const
{
    QMutexLocker locker(&m_lock);
    QStringList names;
    names.reserve(m_entries.size());
    for (const Entry &e : m_entries)
        names.append(e.call);
    return names;
}

void Journal::clear()
{
    QMutexLocker locker(&m_lock);
    m_entries.clear();
}
