#ifndef JOURNALLINES_H
#define JOURNALLINES_H

#include <QStringList>
#include <QVariant>

// The framework calls since entry `from` as "Class::call(arg, arg)", byte
// arrays in hex; only calls starting with one of the prefixes, if any given.
QStringList journalLines(int from = 0, const QStringList &prefixes = {});
// The number of entries now: journalLines(mark) is what came after.
int journalMark();
// Calls of that name (with that first argument, if given) since `from`.
int journalCount(const QString &call, const QVariant &firstArg = {}, int from = 0);

#endif
