#ifndef SCENARIOFILE_H
#define SCENARIOFILE_H

#include <QString>
#include <QVector>

#include "simcommand.h"

// A scenario: a file of commands, one a line, found by path or by the name
// of a shipped one.
class ScenarioFile
{
public:
    // A path as given; a bare name is a shipped scenario, found beside the
    // executable, so a build tree and an unpacked package work alike. Empty
    // with error set when there is none.
    static QString find(const QString &arg, QString *error);
    // The whole file is checked before anything is sent, so a typo on line 40
    // does not leave the launcher half driven; every bad line is reported.
    static bool load(const QString &path, QVector<SimCommand> *out, QString *error);
};

#endif
