#include "scenariofile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

QString ScenarioFile::find(const QString &arg, QString *error)
{
    if (arg.contains(QLatin1Char('/')) || QFileInfo::exists(arg))
        return arg;
    const QDir dir(QCoreApplication::applicationDirPath()
                   + QStringLiteral("/../share/mcu-sim/scenarios"));
    const QString file = arg.endsWith(QLatin1String(".scn")) ? arg : arg + QStringLiteral(".scn");
    if (dir.exists(file))
        return QDir::cleanPath(dir.filePath(file));
    QStringList shipped = dir.entryList({QStringLiteral("*.scn")}, QDir::Files, QDir::Name);
    shipped.replaceInStrings(QStringLiteral(".scn"), QString());
    *error = QStringLiteral(
                 "%1: no such file, and no shipped scenario of that name in %2 (there: %3)")
                 .arg(arg, QDir::cleanPath(dir.path()), shipped.join(QStringLiteral(", ")));
    return QString();
}

bool ScenarioFile::load(const QString &path, QVector<SimCommand> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    QStringList errors;
    for (int lineNo = 1; !in.atEnd(); ++lineNo) {
        SimCommand cmd;
        QString why;
        if (!SimCommand::parse(in.readLine(), &cmd, &why))
            errors << QStringLiteral("%1:%2: %3").arg(path).arg(lineNo).arg(why);
        else if (cmd.kind != SimCommand::Empty)
            out->append(cmd);
    }
    *error = errors.join(QLatin1Char('\n'));
    return errors.isEmpty();
}
