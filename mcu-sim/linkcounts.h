#ifndef LINKCOUNTS_H
#define LINKCOUNTS_H

#include <QPair>
#include <QString>
#include <QVector>

// What crossed the link, for the summary: connections, and frames and bytes
// of each direction by kind, the kinds in the order they first came.
class LinkCounts
{
public:
    void connected() { ++m_connections; }
    int connections() const { return m_connections; }
    void received(const QString &kind, qint64 bytes);
    void sent(const QString &kind, qint64 bytes);
    QString summary() const;

private:
    using Counts = QVector<QPair<QString, int>>;

    static void count(Counts *counts, const QString &kind);
    static int total(const Counts &counts);
    static QString describe(const Counts &counts);

    int m_connections = 0;
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
    Counts m_in;
    Counts m_out;
};

#endif
