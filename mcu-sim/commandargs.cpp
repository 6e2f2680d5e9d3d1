#include "commandargs.h"

#include <QRegularExpression>

#include "framecodec.h"

CommandArgs::CommandArgs(const QString &rest, QString *error)
    : m_args(rest.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
    , m_rest(rest)
    , m_error(error)
{ }

bool CommandArgs::fail(const QString &what)
{
    *m_error = QStringLiteral("expected ") + what;
    return false;
}

bool CommandArgs::count(int n, const QString &what)
{
    return m_args.size() == n || fail(what);
}

bool CommandArgs::words(const QString &what, quint32 *a, quint32 *b)
{
    return (count(2, what) && parseWord(m_args.at(0), a) && parseWord(m_args.at(1), b))
        || fail(what);
}

bool CommandArgs::hex(const QString &text, int maxBytes, const QString &what, QByteArray *out)
{
    return (FrameCodec::parseHex(text, out) && out->size() <= maxBytes) || fail(what);
}

bool CommandArgs::parseNumber(const QString &token, qint64 min, qint64 max, qint64 *out)
{
    bool ok = false;
    qint64 v;
    if (token.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = token.mid(2).toLongLong(&ok, 16);
    else
        v = token.toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool CommandArgs::parseWord(const QString &token, quint32 *out)
{
    qint64 v;
    if (!parseNumber(token, -2147483648LL, 4294967295LL, &v))
        return false;
    *out = quint32(v);
    return true;
}

QString CommandArgs::unquote(const QString &s)
{
    if (s.size() >= 2 && s.startsWith(QLatin1Char('"')) && s.endsWith(QLatin1Char('"')))
        return s.mid(1, s.size() - 2);
    return s;
}
