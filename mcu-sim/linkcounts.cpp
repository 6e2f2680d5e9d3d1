#include "linkcounts.h"

#include <QStringList>

#include <numeric>

void LinkCounts::received(const QString &kind, qint64 bytes)
{
    count(&m_in, kind);
    m_bytesIn += bytes;
}

void LinkCounts::sent(const QString &kind, qint64 bytes)
{
    count(&m_out, kind);
    m_bytesOut += bytes;
}

QString LinkCounts::summary() const
{
    return QStringLiteral(
               "summary: %1 connection(s); %2 frames in (%3 bytes)%4; %5 frames out (%6 bytes)%7")
        .arg(m_connections)
        .arg(total(m_in))
        .arg(m_bytesIn)
        .arg(describe(m_in))
        .arg(total(m_out))
        .arg(m_bytesOut)
        .arg(describe(m_out));
}

void LinkCounts::count(Counts *counts, const QString &kind)
{
    for (auto &c : *counts) {
        if (c.first == kind) {
            ++c.second;
            return;
        }
    }
    counts->append({kind, 1});
}

int LinkCounts::total(const Counts &counts)
{
    return std::accumulate(counts.cbegin(), counts.cend(), 0,
                           [](int s, const QPair<QString, int> &k) { return s + k.second; });
}

QString LinkCounts::describe(const Counts &counts)
{
    QStringList parts;
    for (const auto &c : counts)
        parts << QStringLiteral("%1 %2").arg(c.first).arg(c.second);
    return parts.isEmpty() ? QString() : QStringLiteral(": ") + parts.join(QStringLiteral(", "));
}
