#ifndef JOURNAL_H
#define JOURNAL_H

#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVector>
#include <atomic>

// Every call into the desktop framework, with its arguments, in the order the
// calls happened, from any thread. Tests and the home screen read it.
class Journal : public QObject
{
    Q_OBJECT
public:
    struct Entry
    {
        QString call;
        QVariantList args;
        // Monotonic milliseconds (now()) at recording.
        qint64 at = 0;
    };

    // Milliseconds of a monotonic clock, comparable between threads.
    static qint64 now();

    static Journal *instance();

    // Off makes every framework call skip the journal entirely (benchmarks).
    static bool isEnabled() { return s_enabled.load(std::memory_order_relaxed); }
    static void setEnabled(bool on) { s_enabled.store(on, std::memory_order_relaxed); }

    // The arguments are only built when the journal is on.
    template<typename... Args>
    static void trace(const char *call, const Args &...args)
    {
        if (isEnabled())
            instance()->record(call, QVariantList {QVariant::fromValue(args)...});
    }

    void record(const char *call, QVariantList args = {});
    QVector<Entry> entries() const;
    QStringList calls() const;
    // The entries recorded since a reader's last call, as far as they are
    // still kept; *seen counts every entry ever recorded, so clearing or
    // dropping never makes a reader see an entry twice.
    QVector<Entry> entriesSince(quint64 *seen) const;
    void clear();

Q_SIGNALS:
    // Emitted on the recording thread after the entry is stored.
    void recorded();

private:
    Journal() = default;

    static inline std::atomic<bool> s_enabled {true};
    mutable QMutex m_lock;
    QVector<Entry> m_entries;
    quint64 m_total = 0;
};

Q_DECLARE_TYPEINFO(Journal::Entry, Q_MOVABLE_TYPE);

#endif
