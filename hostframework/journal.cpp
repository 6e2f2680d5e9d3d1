#include "journal.h"

#include <QMutexLocker>

#include <chrono>

namespace {
// A process that runs for days with the journal on must not grow without end;
// when the cap is hit the older half goes.
constexpr int MaxEntries = 1 << 16;
} // namespace

Journal *Journal::instance()
{
    // Never destroyed: the MCU reader thread may still record during exit.
    static Journal *const journal = new Journal;
    return journal;
}

qint64 Journal::now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Journal::record(const char *call, QVariantList args)
{
    const qint64 at = now();
    {
        QMutexLocker locker(&m_lock);
        if (m_entries.size() >= MaxEntries)
            m_entries.remove(0, MaxEntries / 2);
        m_entries.append(Entry {QString::fromLatin1(call), std::move(args), at});
        ++m_total;
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

QVector<Journal::Entry> Journal::entriesSince(quint64 *seen) const
{
    QMutexLocker locker(&m_lock);
    const quint64 fresh = qMin(m_total - qMin(*seen, m_total), quint64(m_entries.size()));
    *seen = m_total;
    QVector<Entry> copy = m_entries.mid(m_entries.size() - int(fresh));
    copy.detach();
    return copy;
}

void Journal::clear()
{
    QMutexLocker locker(&m_lock);
    m_entries.clear();
}
