#ifndef SIMCOMMAND_H
#define SIMCOMMAND_H

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// One line of a scenario, or of what is typed at the prompt.
struct SimCommand
{
    enum Kind { Empty, Send, Wait, WaitFor, Expect, Help, Quit };

    Kind kind = Empty;
    QString name; // the command word
    QString text; // the line as given
    QByteArray bytes; // Send: exactly what goes on the wire
    qint64 ms = 0; // Wait: delay; WaitFor, Expect: timeout; Send: delay before it
    QString word; // WaitFor, Expect: decoded kind to wait for
    QVector<QPair<QString, QString>> fields; // Expect: field and value

    // On failure returns false and sets error to "expected ...".
    static bool parse(const QString &line, SimCommand *cmd, QString *error);
    static QString help();
};

#endif
