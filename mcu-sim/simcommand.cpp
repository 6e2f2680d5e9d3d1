#include "simcommand.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QtEndian>

#include "framecodec.h"
#include "mainappmsg.h"

namespace {

const qint64 DefaultWaitForMs = 10000;

// Decimal or 0x-hex; negative values wrap to their 32-bit pattern.
bool parseNumber(const QString &token, qint64 min, qint64 max, qint64 *out)
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

bool parseWord(const QString &token, quint32 *out)
{
    qint64 v;
    if (!parseNumber(token, -2147483648LL, 4294967295LL, &v))
        return false;
    *out = quint32(v);
    return true;
}

QString unquote(const QString &s)
{
    if (s.size() >= 2 && s.startsWith(QLatin1Char('"')) && s.endsWith(QLatin1Char('"')))
        return s.mid(1, s.size() - 2);
    return s;
}

QByteArray data(std::initializer_list<quint8> bytes)
{
    QByteArray d;
    for (quint8 b : bytes)
        d += char(b);
    return d;
}

QByteArray bigEndian(quint32 v)
{
    QByteArray d(4, '\0');
    qToBigEndian(v, reinterpret_cast<uchar *>(d.data()));
    return d;
}

struct Parser
{
    QStringList args;
    QString rest; // the line after the command word
    QString *error;

    bool fail(const QString &what)
    {
        *error = QStringLiteral("expected ") + what;
        return false;
    }
    bool count(int n, const QString &what) { return args.size() == n || fail(what); }
    bool words(const QString &what, quint32 *a, quint32 *b)
    {
        return (count(2, what) && parseWord(args.at(0), a) && parseWord(args.at(1), b))
            || fail(what);
    }
    bool hex(const QString &text, int maxBytes, const QString &what, QByteArray *out)
    {
        return (FrameCodec::parseHex(text, out) && out->size() <= maxBytes) || fail(what);
    }
};

} // namespace

bool SimCommand::parse(const QString &line, SimCommand *cmd, QString *error)
{
    *cmd = SimCommand();
    cmd->text = line.trimmed();
    if (cmd->text.isEmpty() || cmd->text.startsWith(QLatin1Char('#')))
        return true;

    const int space = cmd->text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString name = space < 0 ? cmd->text : cmd->text.left(space);
    Parser p {QStringList(), space < 0 ? QString() : cmd->text.mid(space + 1).trimmed(), error};
    p.args = p.rest.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    cmd->name = name;
    cmd->kind = Send;

    quint32 a = 0, b = 0;
    QByteArray bytes;
    if (name == QLatin1String("key")) {
        if (!p.words(QStringLiteral("'key <p1> <p2>'"), &a, &b))
            return false;
        cmd->bytes = FrameCodec::normalFrame(MSG_M2A_KEY_PRESSED, a, b);
    } else if (name == QLatin1String("cmd")) {
        if (!p.words(QStringLiteral("'cmd <sub-code> <p2>'"), &a, &b))
            return false;
        cmd->bytes = FrameCodec::normalFrame(MSG_M2A_CMD, a, b);
    } else if (name == QLatin1String("version-req")) {
        if (!p.count(0, QStringLiteral("no arguments after 'version-req'")))
            return false;
        cmd->bytes = FrameCodec::normalFrame(MSG_M2A_VERSION_REQ, 0, 0);
    } else if (name == QLatin1String("mcu-type")) {
        if (!p.words(QStringLiteral("'mcu-type <mcu> <tuner>'"), &a, &b))
            return false;
        cmd->bytes = FrameCodec::normalFrame(MSG_M2A_MCU_TYPE, a, b);
    } else if (name == QLatin1String("normal")) {
        quint32 msg = 0;
        if (!p.count(3, QStringLiteral("'normal <msg> <p1> <p2>'"))
            || !parseWord(p.args.at(0), &msg) || !parseWord(p.args.at(1), &a)
            || !parseWord(p.args.at(2), &b))
            return p.fail(QStringLiteral("'normal <msg> <p1> <p2>' with 32-bit numbers"));
        cmd->bytes = FrameCodec::normalFrame(msg, a, b);
    } else if (name == QLatin1String("uuid")) {
        const QString what = QStringLiteral(
            "'uuid <prefix of 0 to 2 characters, \"\" for none> <number 0..4294967295>'");
        if (!p.count(2, what) || !parseWord(p.args.at(1), &b)
            || p.args.at(1).startsWith(QLatin1Char('-')))
            return p.fail(what);
        const QByteArray prefix = unquote(p.args.at(0)).toUtf8();
        if (prefix.size() > 2)
            return p.fail(what);
        QByteArray d = data({0, 0, 0, 0, 0}) + bigEndian(b);
        for (int i = 0; i < prefix.size(); ++i)
            d[1 + i] = prefix.at(i);
        cmd->bytes = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_UUID, d);
    } else if (name == QLatin1String("mcu-version")) {
        const QByteArray text = unquote(p.rest).toUtf8();
        if (text.size() > 254)
            return p.fail(QStringLiteral("'mcu-version <text of at most 254 bytes>'"));
        cmd->bytes = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_MCU_VERSION,
                                           char(text.size()) + text + '\0');
    } else if (name == QLatin1String("time")) {
        const QString what = QStringLiteral(
            "'time <seconds>' or 'time <YYYY-MM-DDTHH:MM:SS>' (UTC)");
        qint64 secs = 0;
        if (!p.count(1, what))
            return false;
        if (p.args.at(0).contains(QLatin1Char('T'))) {
            QDateTime t = QDateTime::fromString(p.args.at(0), QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
            t.setTimeSpec(Qt::UTC);
            if (!t.isValid())
                return p.fail(what);
            secs = t.toSecsSinceEpoch();
        } else if (!parseNumber(p.args.at(0), -2147483648LL, 4294967295LL, &secs)) {
            return p.fail(what);
        }
        if (secs < -2147483648LL || secs > 4294967295LL)
            return p.fail(what + QStringLiteral(" within 32 bits"));
        cmd->bytes = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_TIME,
                                           data({4}) + bigEndian(quint32(secs)));
    } else if (name == QLatin1String("rds-time")) {
        const QString what = QStringLiteral("'rds-time <hour 0..255> <minute 0..255>'");
        qint64 h = 0, m = 0;
        if (!p.count(2, what) || !parseNumber(p.args.at(0), 0, 255, &h)
            || !parseNumber(p.args.at(1), 0, 255, &m))
            return p.fail(what);
        cmd->bytes = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_RDS_TIME,
                                           data({2, quint8(h), quint8(m)}));
    } else if (name == QLatin1String("steer-study")) {
        if (!p.hex(p.rest, 18, QStringLiteral("'steer-study' with exactly 18 bytes in hex"), &bytes))
            return false;
        if (bytes.size() != 18)
            return p.fail(QStringLiteral("'steer-study' with exactly 18 bytes in hex"));
        cmd->bytes = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_STEER_KEY_STUDY, bytes);
    } else if (name == QLatin1String("sim") || name == QLatin1String("mcm")) {
        if (!p.hex(p.rest, MAIN_APP_LONG_DATA_SIZE,
                   QStringLiteral("'%1 <hex data, 1 to 256 bytes>'").arg(name), &bytes))
            return false;
        cmd->bytes = FrameCodec::longFrame(
            MAIN_APP_TYPE_MCU, name == QLatin1String("sim") ? MSG_M2A_SIM : MSG_M2A_MCM, bytes);
    } else if (name == QLatin1String("base") || name == QLatin1String("can")) {
        const QString what = QStringLiteral("'%1 <msg> <hex data, 1 to 256 bytes>'").arg(name);
        if (p.args.size() < 2 || !parseWord(p.args.at(0), &a))
            return p.fail(what);
        if (!p.hex(p.rest.mid(p.args.at(0).size()), MAIN_APP_LONG_DATA_SIZE, what, &bytes))
            return false;
        cmd->bytes = FrameCodec::longFrame(
            name == QLatin1String("can") ? MAIN_APP_TYPE_CAN : MAIN_APP_TYPE_MCU, a, bytes);
    } else if (name == QLatin1String("raw")) {
        if (!p.hex(p.rest, 65536, QStringLiteral("'raw <hex bytes>'"), &bytes))
            return false;
        cmd->bytes = bytes;
    } else if (name == QLatin1String("wait")) {
        cmd->kind = Wait;
        if (!p.count(1, QStringLiteral("'wait <milliseconds>'"))
            || !parseNumber(p.args.at(0), 0, 86400000, &cmd->ms))
            return p.fail(QStringLiteral("'wait <milliseconds>'"));
    } else if (name == QLatin1String("wait-for") || name == QLatin1String("expect")) {
        const bool expect = name == QLatin1String("expect");
        const QString what = expect
            ? QStringLiteral("'expect <Kind> [field=value ...] [timeout ms]'")
            : QStringLiteral("'wait-for <Kind> [timeout ms]'");
        cmd->kind = expect ? Expect : WaitFor;
        cmd->ms = DefaultWaitForMs;
        if (p.args.isEmpty())
            return p.fail(what);
        cmd->word = p.args.at(0);
        // A kind the launcher never sends would only time out, long after the typo.
        const QStringList kinds = FrameCodec::launcherKinds();
        if (!kinds.contains(cmd->word, Qt::CaseInsensitive))
            return p.fail(QStringLiteral("a kind of frame the launcher sends (%1), got \"%2\"")
                              .arg(kinds.join(QStringLiteral(", ")), cmd->word));
        static const QRegularExpression token(
            QStringLiteral("(\\w+)=(?:\"([^\"]*)\"|(\\S*))|(\\S+)"));
        auto it = token.globalMatch(p.rest, p.args.at(0).size());
        while (it.hasNext()) {
            const auto m = it.next();
            if (m.capturedStart(4) < 0 && expect) {
                cmd->fields.append(
                    {m.captured(1), m.capturedStart(2) >= 0 ? m.captured(2) : m.captured(3)});
                continue;
            }
            if (it.hasNext() || !parseNumber(m.captured(0), 0, 86400000, &cmd->ms))
                return p.fail(what);
        }
    } else if (name == QLatin1String("help")) {
        cmd->kind = Help;
        return p.count(0, QStringLiteral("no arguments after 'help'"));
    } else if (name == QLatin1String("quit")) {
        cmd->kind = Quit;
        return p.count(0, QStringLiteral("no arguments after 'quit'"));
    } else {
        return p.fail(
            QStringLiteral("a command (%1), got \"%2\"")
                .arg(QStringLiteral(
                         "key, cmd, version-req, mcu-type, normal, uuid, mcu-version, time, "
                         "rds-time, steer-study, base, sim, mcm, can, raw, wait, wait-for, expect, "
                         "help, quit"),
                     name));
    }
    return true;
}

QString SimCommand::help()
{
    return QStringLiteral(
        "Commands (one per line; numbers decimal or 0x-hex; '#' starts a comment line):\n"
        "  key <p1> <p2>              key press (normal msg 13078)\n"
        "  cmd <sub> <p2>             command (normal msg 529): 13 notify value, 47 eject\n"
        "  version-req                ask for the version reply (normal msg 13080)\n"
        "  mcu-type <mcu> <tuner>     MCU and tuner type (normal msg 13144)\n"
        "  normal <msg> <p1> <p2>     any normal frame\n"
        "  uuid <prefix> <number>     unit id: prefix of 0-2 characters (\"\" for none)\n"
        "  mcu-version <text>         MCU version text (\"\" for empty)\n"
        "  time <seconds|YYYY-MM-DDTHH:MM:SS>  MCU clock (UTC); up to 15551999 is implausible\n"
        "  rds-time <hour> <minute>   RDS time of day\n"
        "  steer-study <18 hex bytes> steering-key study data\n"
        "  base <msg> <hex>           base data long frame (msg 57 or 64-78 are taken)\n"
        "  sim <hex>                  SIM long frame\n"
        "  mcm <hex>                  MCM long frame\n"
        "  can <msg> <hex>            CAN long frame (type 3)\n"
        "  raw <hex>                  any bytes as they are, malformed frames included\n"
        "  wait <ms>                  pause\n"
        "  wait-for <Kind> [ms]       wait for a frame from the launcher (default 10000 ms),\n"
        "                             Kind as printed: AppReady, Source, Heartbeat, Eject, Reply,\n"
        "                             KeyStudy, Command, Normal, TimeReply, VersionReply,\n"
        "                             KeyColour, MediaInfo, Can, Long, Unframed\n"
        "  expect <Kind> [field=value ...] [ms]\n"
        "                             like wait-for, and check the frame's fields: the name=value\n"
        "                             parts of its line (TimeReply: seconds, date, time, count),\n"
        "                             e.g. expect TimeReply date=2022-01-01;\n"
        "                             expect VersionReply sdk=\"HOSTFW_SDK_1.0\" count=49\n"
        "  help                       this list\n"
        "  quit                       end the session\n");
}
