#include "framekind.h"

#include <QDateTime>
#include <QtEndian>

#include "commandargs.h"
#include "mainappmsg.h"

namespace {

using Frame = FrameKind::Frame;
using Field = FrameKind::Field;
using Fields = QVector<QPair<QString, QString>>;

QString num(quint32 v)
{
    return QString::number(v);
}

quint8 byteAt(const Frame &f, int i)
{
    return quint8(f.data.at(i));
}

quint32 bigEndianAt(const Frame &f, int offset)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(f.data.constData()) + offset);
}

// Payload bytes up to the last non-zero one: outbound long frames are always
// padded to 256 bytes, and the padding says nothing.
QString dataHex(const QByteArray &data)
{
    int end = data.size();
    while (end > 0 && data.at(end - 1) == '\0')
        --end;
    return end ? QString::fromLatin1(data.left(end).toHex(' ')) : QStringLiteral("(zero)");
}

// Text up to its first zero byte.
QString cString(QByteArray text)
{
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    return QString::fromUtf8(text);
}

DecodedFrame make(const QString &kind, const QString &rest, const Fields &fields)
{
    return {kind, rest.isEmpty() ? kind : kind + QLatin1Char(' ') + rest, fields};
}

// The clock in both directions, in local time; date and time of day are
// fields too, since a reply carries the time of day it was made at.
QDateTime localTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime);
}

// "2022-01-01 08:30:00 UTC (1641025800 s)"
QString timeText(qint64 secs)
{
    return QStringLiteral("%1 (%2 s)")
        .arg(localTime(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")))
        .arg(secs);
}

// The launcher's clock reply is unsigned, the MCU's clock signed.
qint64 replySeconds(const Frame &f)
{
    return bigEndianAt(f, 1);
}

qint64 mcuSeconds(const Frame &f)
{
    return qint32(bigEndianAt(f, 1));
}

constexpr Field P1 {"p1", [](const Frame &f) { return num(f.p1); }};
constexpr Field P2 {"p2", [](const Frame &f) { return num(f.p2); }};
constexpr Field Msg {"msg", [](const Frame &f) { return num(f.msg); }};
constexpr Field Data {"data", [](const Frame &f) { return dataHex(f.data); }};

// count, Nc, customer, Ns, sdk, 13, 13 date bytes; every length is checked
// against the data area, since a broken sender is what this tool is for.
DecodedFrame versionReply(const Frame &f)
{
    const QString kind = QStringLiteral("VersionReply");
    const QByteArray &data = f.data;
    int pos = 1;
    QStringList texts;
    for (int i = 0; i < 3; ++i) {
        const int n = pos < data.size() ? quint8(data.at(pos)) : -1;
        if (n < 0 || pos + 1 + n > data.size())
            return make(kind, QStringLiteral("malformed data=") + dataHex(data),
                        {{QStringLiteral("data"), dataHex(data)}});
        QByteArray text = data.mid(pos + 1, n);
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        texts << QString::fromLatin1(text);
        pos += 1 + n;
    }
    return make(kind,
                QStringLiteral("customer=\"%1\" sdk=\"%2\" date=\"%3\" count=%4")
                    .arg(texts.at(0), texts.at(1), texts.at(2), num(quint8(data.at(0)))),
                {{QStringLiteral("customer"), texts.at(0)},
                 {QStringLiteral("sdk"), texts.at(1)},
                 {QStringLiteral("date"), texts.at(2)},
                 {QStringLiteral("count"), num(quint8(data.at(0)))}});
}

QByteArray bytes(std::initializer_list<quint8> list)
{
    QByteArray d;
    for (quint8 b : list)
        d += char(b);
    return d;
}

QByteArray bigEndian(quint32 v)
{
    QByteArray d(4, '\0');
    qToBigEndian(v, reinterpret_cast<uchar *>(d.data()));
    return d;
}

bool normalFrame(CommandArgs &a, quint32 msg, const QString &what, QByteArray *out)
{
    quint32 p1 = 0, p2 = 0;
    if (!a.words(what, &p1, &p2))
        return false;
    *out = FrameCodec::normalFrame(msg, p1, p2);
    return true;
}

bool dataFrame(CommandArgs &a, quint32 msg, const QString &what, QByteArray *out)
{
    QByteArray data;
    if (!a.hex(a.rest(), MAIN_APP_LONG_DATA_SIZE, what, &data))
        return false;
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, msg, data);
    return true;
}

// "<msg> <hex>": a long frame of any id.
bool msgDataFrame(CommandArgs &a, FrameKind::Type type, const QString &what, QByteArray *out)
{
    quint32 msg = 0;
    QByteArray data;
    if (a.args().size() < 2 || !CommandArgs::parseWord(a.args().at(0), &msg))
        return a.fail(what);
    if (!a.hex(a.rest().mid(a.args().at(0).size()), MAIN_APP_LONG_DATA_SIZE, what, &data))
        return false;
    *out = FrameCodec::longFrame(type, msg, data);
    return true;
}

bool uuid(CommandArgs &a, QByteArray *out)
{
    const QString what = QStringLiteral(
        "'uuid <prefix of 0 to 2 characters, \"\" for none> <number 0..4294967295>'");
    quint32 number = 0;
    if (!a.count(2, what) || !CommandArgs::parseWord(a.args().at(1), &number)
        || a.args().at(1).startsWith(QLatin1Char('-')))
        return a.fail(what);
    const QByteArray prefix = CommandArgs::unquote(a.args().at(0)).toUtf8();
    if (prefix.size() > 2)
        return a.fail(what);
    QByteArray d = bytes({0, 0, 0, 0, 0}) + bigEndian(number);
    for (int i = 0; i < prefix.size(); ++i)
        d[1 + i] = prefix.at(i);
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_UUID, d);
    return true;
}

bool mcuVersion(CommandArgs &a, QByteArray *out)
{
    const QByteArray text = CommandArgs::unquote(a.rest()).toUtf8();
    if (text.size() > 254)
        return a.fail(QStringLiteral("'mcu-version <text of at most 254 bytes>'"));
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_MCU_VERSION,
                                 char(text.size()) + text + '\0');
    return true;
}

bool time(CommandArgs &a, QByteArray *out)
{
    const QString what = QStringLiteral("'time <seconds>' or 'time <YYYY-MM-DDTHH:MM:SS>' (UTC)");
    qint64 secs = 0;
    if (!a.count(1, what))
        return false;
    const QString arg = a.args().at(0);
    if (arg.contains(QLatin1Char('T'))) {
        QDateTime t = QDateTime::fromString(arg, QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        t.setTimeSpec(Qt::UTC);
        if (!t.isValid())
            return a.fail(what);
        secs = t.toSecsSinceEpoch();
    } else if (!CommandArgs::parseNumber(arg, -2147483648LL, 4294967295LL, &secs)) {
        return a.fail(what);
    }
    if (secs < -2147483648LL || secs > 4294967295LL)
        return a.fail(what + QStringLiteral(" within 32 bits"));
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_TIME,
                                 bytes({4}) + bigEndian(quint32(secs)));
    return true;
}

bool rdsTime(CommandArgs &a, QByteArray *out)
{
    const QString what = QStringLiteral("'rds-time <hour 0..255> <minute 0..255>'");
    qint64 h = 0, m = 0;
    if (!a.count(2, what) || !CommandArgs::parseNumber(a.args().at(0), 0, 255, &h)
        || !CommandArgs::parseNumber(a.args().at(1), 0, 255, &m))
        return a.fail(what);
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_RDS_TIME,
                                 bytes({2, quint8(h), quint8(m)}));
    return true;
}

bool steerStudy(CommandArgs &a, QByteArray *out)
{
    const QString what = QStringLiteral("'steer-study' with exactly 18 bytes in hex");
    QByteArray data;
    if (!a.hex(a.rest(), 18, what, &data))
        return false;
    if (data.size() != 18)
        return a.fail(what);
    *out = FrameCodec::longFrame(MAIN_APP_TYPE_MCU, MSG_M2A_STEER_KEY_STUDY, data);
    return true;
}

bool normal(CommandArgs &a, QByteArray *out)
{
    quint32 msg = 0, p1 = 0, p2 = 0;
    if (!a.count(3, QStringLiteral("'normal <msg> <p1> <p2>'"))
        || !CommandArgs::parseWord(a.args().at(0), &msg)
        || !CommandArgs::parseWord(a.args().at(1), &p1)
        || !CommandArgs::parseWord(a.args().at(2), &p2))
        return a.fail(QStringLiteral("'normal <msg> <p1> <p2>' with 32-bit numbers"));
    *out = FrameCodec::normalFrame(msg, p1, p2);
    return true;
}

bool raw(CommandArgs &a, QByteArray *out)
{
    return a.hex(a.rest(), 65536, QStringLiteral("'raw <hex bytes>'"), out);
}

// The entries of the table, and what they add to a kind.
FrameKind kind(const char *name, FrameKind::Direction direction, FrameKind::Type type, qint64 msg,
               const QVector<Field> &fields)
{
    FrameKind k;
    k.name = QString::fromLatin1(name);
    k.direction = direction;
    k.type = type;
    k.msg = msg;
    k.lastMsg = msg;
    k.fields = fields;
    return k;
}

// One of the launcher's commands: a normal frame of msg 12, by its code in p1.
FrameKind launcherCommand(const char *name, qint64 code, const QVector<Field> &fields)
{
    FrameKind k = kind(name, FrameKind::FromLauncher, FrameKind::Normal, MSG_A2M_CMD, fields);
    k.code = code;
    return k;
}

FrameKind range(FrameKind k, qint64 lastMsg)
{
    k.lastMsg = lastMsg;
    return k;
}

FrameKind shown(FrameKind k, QString (*text)(const Frame &))
{
    k.text = text;
    return k;
}

FrameKind decodedBy(FrameKind k, DecodedFrame (*decoder)(const Frame &))
{
    k.decoder = decoder;
    return k;
}

// The command is the usage's first word.
FrameKind sent(FrameKind k, const char *usage, const char *help, FrameKind::Build build)
{
    k.usage = QString::fromLatin1(usage);
    k.command = k.usage.section(QLatin1Char(' '), 0, 0);
    k.help = QString::fromUtf8(help);
    k.build = build;
    return k;
}

using K = FrameKind;

// Grouped by frame type. Within a direction the first match wins, so a kind
// of any msg or code comes after the kinds of single ones.
QVector<FrameKind> table()
{
    return {
        launcherCommand("AppReady", A2M_CMD_APP_READY, {P2}),
        launcherCommand("Source", A2M_CMD_CUR_SOURCE,
                        {{"id", [](const Frame &f) { return num(f.p2 & 0xFFFF); }},
                         {"param", [](const Frame &f) { return num(f.p2 >> 16); }}}),
        launcherCommand("Heartbeat", A2M_CMD_HEARTBEAT, {}),
        launcherCommand("Eject", A2M_CMD_EJECT_DISC, {}),
        shown(launcherCommand("Reply", A2M_CMD_REPLY, {P2}),
              [](const Frame &f) { return QStringLiteral("186 p2=%1").arg(f.p2); }),
        launcherCommand("KeyStudy", A2M_CMD_KEY_STUDY,
                        {{"cmd", [](const Frame &) { return QStringLiteral("0"); }},
                         {"value", [](const Frame &f) { return num(f.p2); }}}),
        launcherCommand("Command", K::Any, {P1, P2}),

        sent(kind("Key", K::ToLauncher, K::Normal, MSG_M2A_KEY_PRESSED, {P1, P2}), "key <p1> <p2>",
             "key press (normal msg 13078)",
             [](CommandArgs &a, QByteArray *out) {
                 return normalFrame(a, MSG_M2A_KEY_PRESSED, QStringLiteral("'key <p1> <p2>'"), out);
             }),
        sent(kind("Cmd", K::ToLauncher, K::Normal, MSG_M2A_CMD,
                  {{"sub", [](const Frame &f) { return num(f.p1); }}, P2}),
             "cmd <sub> <p2>", "command (normal msg 529): 13 notify value, 47 eject",
             [](CommandArgs &a, QByteArray *out) {
                 return normalFrame(a, MSG_M2A_CMD, QStringLiteral("'cmd <sub-code> <p2>'"), out);
             }),
        sent(kind("VersionReq", K::ToLauncher, K::Normal, MSG_M2A_VERSION_REQ, {}), "version-req",
             "ask for the version reply (normal msg 13080)",
             [](CommandArgs &a, QByteArray *out) {
                 if (!a.count(0, QStringLiteral("no arguments after 'version-req'")))
                     return false;
                 *out = FrameCodec::normalFrame(MSG_M2A_VERSION_REQ, 0, 0);
                 return true;
             }),
        sent(kind("McuType", K::ToLauncher, K::Normal, MSG_M2A_MCU_TYPE,
                  {{"mcu", [](const Frame &f) { return num(f.p1); }},
                   {"tuner", [](const Frame &f) { return num(f.p2); }}}),
             "mcu-type <mcu> <tuner>", "MCU and tuner type (normal msg 13144)",
             [](CommandArgs &a, QByteArray *out) {
                 return normalFrame(a, MSG_M2A_MCU_TYPE, QStringLiteral("'mcu-type <mcu> <tuner>'"),
                                    out);
             }),
        kind("Discard", K::ToLauncher, K::Normal, MSG_M2A_DISCARD, {P1, P2}),
        sent(kind("Normal", K::Both, K::Normal, K::Any, {Msg, P1, P2}), "normal <msg> <p1> <p2>",
             "any normal frame", normal),

        shown(kind("TimeReply", K::FromLauncher, K::Mcu, MSG_A2M_TIME_CLOCK,
                   {{"seconds", [](const Frame &f) { return QString::number(replySeconds(f)); }},
                    {"date",
                     [](const Frame &f) {
                         return localTime(replySeconds(f)).toString(QStringLiteral("yyyy-MM-dd"));
                     }},
                    {"time",
                     [](const Frame &f) {
                         return localTime(replySeconds(f)).toString(QStringLiteral("HH:mm:ss"));
                     }},
                    {"count", [](const Frame &f) { return num(byteAt(f, 0)); }}}),
              [](const Frame &f) {
                  return timeText(replySeconds(f))
                      + (byteAt(f, 0) == 4 ? QString()
                                           : QStringLiteral(" count=%1").arg(byteAt(f, 0)));
              }),
        decodedBy(kind("VersionReply", K::FromLauncher, K::Mcu, MSG_A2M_VERSION, {}), versionReply),
        shown(kind("KeyColour", K::FromLauncher, K::Mcu, MSG_A2M_KEY_COLOR,
                   {{"colour1", [](const Frame &f) { return num(byteAt(f, 2)); }},
                    {"colour2", [](const Frame &f) { return num(byteAt(f, 3)); }},
                    {"colour3", [](const Frame &f) { return num(byteAt(f, 4)); }}}),
              [](const Frame &f) {
                  return QStringLiteral("%1 %2 %3 (head %4 %5)")
                      .arg(byteAt(f, 2))
                      .arg(byteAt(f, 3))
                      .arg(byteAt(f, 4))
                      .arg(byteAt(f, 0))
                      .arg(byteAt(f, 1));
              }),
        kind("KeyStudy", K::FromLauncher, K::Mcu, MSG_A2M_KEY_STUDY,
             {{"cmd", [](const Frame &f) { return num(byteAt(f, 0)); }},
              {"value", [](const Frame &f) { return num(byteAt(f, 1)); }}}),
        kind("MediaInfo", K::FromLauncher, K::Mcu, MSG_A2M_MEDIA_PLAY_INFO, {Data}),

        sent(kind("Uuid", K::ToLauncher, K::Mcu, MSG_M2A_UUID,
                  {{"prefix", [](const Frame &f) { return cString(f.data.mid(1, 2)); }, true},
                   {"number", [](const Frame &f) { return num(bigEndianAt(f, 5)); }}}),
             "uuid <prefix> <number>", "unit id: prefix of 0-2 characters (\"\" for none)", uuid),
        sent(kind("McuVersion", K::ToLauncher, K::Mcu, MSG_M2A_MCU_VERSION,
                  {{"text", [](const Frame &f) { return cString(f.data.mid(1)); }, true}}),
             "mcu-version <text>", "MCU version text (\"\" for empty)", mcuVersion),
        sent(shown(kind("Time", K::ToLauncher, K::Mcu, MSG_M2A_TIME,
                        {{"seconds", [](const Frame &f) { return QString::number(mcuSeconds(f)); }},
                         {"date",
                          [](const Frame &f) {
                              return localTime(mcuSeconds(f)).toString(QStringLiteral("yyyy-MM-dd"));
                          }},
                         {"time",
                          [](const Frame &f) {
                              return localTime(mcuSeconds(f)).toString(QStringLiteral("HH:mm:ss"));
                          }}}),
                   [](const Frame &f) { return timeText(mcuSeconds(f)); }),
             "time <seconds|YYYY-MM-DDTHH:MM:SS>", "MCU clock (UTC); up to 15551999 is implausible",
             time),
        sent(kind("RdsTime", K::ToLauncher, K::Mcu, MSG_M2A_RDS_TIME,
                  {{"hour", [](const Frame &f) { return num(byteAt(f, 1)); }},
                   {"minute", [](const Frame &f) { return num(byteAt(f, 2)); }}}),
             "rds-time <hour> <minute>", "RDS time of day", rdsTime),
        sent(kind("SteerStudy", K::ToLauncher, K::Mcu, MSG_M2A_STEER_KEY_STUDY, {Data}),
             "steer-study <18 hex bytes>", "steering-key study data", steerStudy),
        sent(kind("Base", K::ToLauncher, K::Mcu, MSG_M2A_BASE_DATA, {Msg, Data}),
             "base <msg> <hex>", "base data long frame (msg 57 or 64-78 are taken)",
             [](CommandArgs &a, QByteArray *out) {
                 return msgDataFrame(
                     a, K::Mcu, QStringLiteral("'base <msg> <hex data, 1 to 256 bytes>'"), out);
             }),
        range(kind("Base", K::ToLauncher, K::Mcu, MSG_M2A_BASE_DATA_FIRST, {Msg, Data}),
              MSG_M2A_BASE_DATA_LAST),
        sent(kind("Sim", K::ToLauncher, K::Mcu, MSG_M2A_SIM, {Data}), "sim <hex>", "SIM long frame",
             [](CommandArgs &a, QByteArray *out) {
                 return dataFrame(a, MSG_M2A_SIM,
                                  QStringLiteral("'sim <hex data, 1 to 256 bytes>'"), out);
             }),
        sent(kind("Mcm", K::ToLauncher, K::Mcu, MSG_M2A_MCM, {Data}), "mcm <hex>", "MCM long frame",
             [](CommandArgs &a, QByteArray *out) {
                 return dataFrame(a, MSG_M2A_MCM,
                                  QStringLiteral("'mcm <hex data, 1 to 256 bytes>'"), out);
             }),
        kind("AutoTest", K::ToLauncher, K::Mcu, MSG_M2A_AUTO_TEST, {Data}),

        sent(kind("Can", K::Both, K::Can, K::Any, {Msg, Data}), "can <msg> <hex>",
             "CAN long frame (type 3)",
             [](CommandArgs &a, QByteArray *out) {
                 return msgDataFrame(a, K::Can,
                                     QStringLiteral("'can <msg> <hex data, 1 to 256 bytes>'"), out);
             }),
        kind("Long", K::Both, K::Mcu, K::Any, {Msg, Data}),
        sent(shown(kind("Unframed", K::Both, K::NoFrame, K::Any,
                        {{"bytes", [](const Frame &f) { return FrameCodec::wordHex(f.bytes); }}}),
                   [](const Frame &f) { return FrameCodec::wordHex(f.bytes); }),
             "raw <hex>", "any bytes as they are, malformed frames included", raw),
    };
}

} // namespace

bool FrameKind::matches(Direction from, const Frame &frame) const
{
    if (!(direction & from) || type != frame.type)
        return false;
    if (msg != Any && (qint64(frame.msg) < msg || qint64(frame.msg) > lastMsg))
        return false;
    return code == Any || qint64(frame.p1) == code;
}

DecodedFrame FrameKind::decode(const Frame &frame) const
{
    if (decoder)
        return decoder(frame);
    Fields values;
    QStringList parts;
    for (const Field &f : fields) {
        const QString value = f.value(frame);
        values.append({QString::fromLatin1(f.name), value});
        parts << QString::fromLatin1(f.name) + QLatin1Char('=')
                + (f.quoted ? QLatin1Char('"') + value + QLatin1Char('"') : value);
    }
    return make(name, text ? text(frame) : parts.join(QLatin1Char(' ')), values);
}

const QVector<FrameKind> &FrameKind::all()
{
    static const QVector<FrameKind> kinds = table();
    return kinds;
}

const FrameKind &FrameKind::of(Direction from, const Frame &frame)
{
    // Each type has a kind of any msg in either direction, Unframed included.
    for (const FrameKind &k : all()) {
        if (k.matches(from, frame))
            return k;
    }
    Q_UNREACHABLE();
}

const FrameKind *FrameKind::byCommand(const QString &command)
{
    for (const FrameKind &k : all()) {
        if (!k.command.isEmpty() && k.command == command)
            return &k;
    }
    return nullptr;
}

QStringList FrameKind::names(Direction from)
{
    QStringList names;
    for (const FrameKind &k : all()) {
        if ((k.direction & from) && !names.contains(k.name))
            names << k.name;
    }
    return names;
}
