#ifndef COMMANDARGS_H
#define COMMANDARGS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The words after a command's name. Each reader that finds them wrong sets
// the error to "expected <what>" and returns false.
class CommandArgs
{
public:
    CommandArgs(const QString &rest, QString *error);

    const QStringList &args() const { return m_args; }
    // The line after the command word, as written.
    const QString &rest() const { return m_rest; }

    bool fail(const QString &what);
    bool count(int n, const QString &what);
    bool words(const QString &what, quint32 *a, quint32 *b);
    bool hex(const QString &text, int maxBytes, const QString &what, QByteArray *out);

    // Decimal or 0x-hex.
    static bool parseNumber(const QString &token, qint64 min, qint64 max, qint64 *out);
    // Negative values wrap to their 32-bit pattern.
    static bool parseWord(const QString &token, quint32 *out);
    static QString unquote(const QString &s);

private:
    QStringList m_args;
    QString m_rest;
    QString *m_error;
};

#endif
