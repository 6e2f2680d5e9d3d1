#include "journallines.h"

#include "journal.h"

QStringList journalLines(int from, const QStringList &prefixes)
{
    QStringList lines;
    const QVector<Journal::Entry> entries = Journal::instance()->entries();
    for (int i = from; i < entries.size(); ++i) {
        const Journal::Entry &e = entries.at(i);
        if (!prefixes.isEmpty()
            && std::none_of(prefixes.begin(), prefixes.end(),
                            [&](const QString &p) { return e.call.startsWith(p); }))
            continue;
        QStringList args;
        for (const QVariant &a : e.args)
            args << (a.userType() == QMetaType::QByteArray
                         ? QString::fromLatin1(a.toByteArray().toHex())
                         : a.toString());
        lines << e.call + QLatin1Char('(') + args.join(QLatin1String(", ")) + QLatin1Char(')');
    }
    return lines;
}

int journalMark()
{
    return Journal::instance()->entries().size();
}

int journalCount(const QString &call, const QVariant &firstArg, int from)
{
    const QVector<Journal::Entry> entries = Journal::instance()->entries();
    int n = 0;
    for (int i = from; i < entries.size(); ++i)
        n += entries.at(i).call == call
            && (!firstArg.isValid() || entries.at(i).args.value(0) == firstArg);
    return n;
}
