#include "framecodec.h"

#include <QDateTime>
#include <QtEndian>

#include "mainappmsg.h"

#include <cctype>

namespace {

using Fields = QVector<QPair<QString, QString>>;

quint32 wordAt(const QByteArray &f, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(f.constData()) + offset);
}

quint32 bigEndianAt(const QByteArray &d, int offset)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(d.constData()) + offset);
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

DecodedFrame make(const QString &kind, const QString &rest = QString(),
                  const Fields &fields = Fields())
{
    return {kind, rest.isEmpty() ? kind : kind + QLatin1Char(' ') + rest, fields};
}

// "Kind a=1 b=2", the text made of the fields themselves; quoted fields in quotes.
DecodedFrame makeFields(const QString &kind, const Fields &fields,
                        const QStringList &quoted = QStringList())
{
    QStringList parts;
    for (const auto &f : fields)
        parts << f.first + QLatin1Char('=')
                + (quoted.contains(f.first) ? QLatin1Char('"') + f.second + QLatin1Char('"')
                                            : f.second);
    return make(kind, parts.join(QLatin1Char(' ')), fields);
}

QString num(quint32 v)
{
    return QString::number(v);
}

// "2022-01-01 08:30:00 UTC (1641025800 s)": the clock in both directions, in
// local time; date and time of day are fields too, since a reply carries the
// time of day it was made at.
QString timeText(qint64 secs, Fields *fields)
{
    const QDateTime when = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime);
    *fields << qMakePair(QStringLiteral("seconds"), QString::number(secs))
            << qMakePair(QStringLiteral("date"), when.toString(QStringLiteral("yyyy-MM-dd")))
            << qMakePair(QStringLiteral("time"), when.toString(QStringLiteral("HH:mm:ss")));
    return QStringLiteral("%1 (%2 s)")
        .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")))
        .arg(secs);
}

DecodedFrame decodeCommand(quint32 p1, quint32 p2)
{
    switch (p1) {
    case A2M_CMD_APP_READY:
        return makeFields(QStringLiteral("AppReady"), {{QStringLiteral("p2"), num(p2)}});
    case A2M_CMD_CUR_SOURCE:
        return makeFields(
            QStringLiteral("Source"),
            {{QStringLiteral("id"), num(p2 & 0xFFFF)}, {QStringLiteral("param"), num(p2 >> 16)}});
    case A2M_CMD_HEARTBEAT:
        return make(QStringLiteral("Heartbeat"));
    case A2M_CMD_EJECT_DISC:
        return make(QStringLiteral("Eject"));
    case A2M_CMD_REPLY:
        return make(QStringLiteral("Reply"), QStringLiteral("186 p2=%1").arg(p2),
                    {{QStringLiteral("p2"), num(p2)}});
    case A2M_CMD_KEY_STUDY:
        return makeFields(
            QStringLiteral("KeyStudy"),
            {{QStringLiteral("cmd"), QStringLiteral("0")}, {QStringLiteral("value"), num(p2)}});
    default:
        return makeFields(QStringLiteral("Command"),
                          {{QStringLiteral("p1"), num(p1)}, {QStringLiteral("p2"), num(p2)}});
    }
}

// count, Nc, customer, Ns, sdk, 13, 13 date bytes; every length is checked
// against the data area, since a broken sender is what this tool is for.
DecodedFrame decodeVersion(const QByteArray &data)
{
    const QString kind = QStringLiteral("VersionReply");
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
    return makeFields(kind,
                      {{QStringLiteral("customer"), texts.at(0)},
                       {QStringLiteral("sdk"), texts.at(1)},
                       {QStringLiteral("date"), texts.at(2)},
                       {QStringLiteral("count"), num(quint8(data.at(0)))}},
                      {QStringLiteral("customer"), QStringLiteral("sdk"), QStringLiteral("date")});
}

DecodedFrame decodeLong(quint32 type, quint32 msg, const QByteArray &data)
{
    const auto byte = [&data](int i) { return quint8(data.at(i)); };
    const QPair<QString, QString> dataField {QStringLiteral("data"), dataHex(data)};
    if (type == MAIN_APP_TYPE_CAN)
        return makeFields(QStringLiteral("Can"), {{QStringLiteral("msg"), num(msg)}, dataField});
    switch (msg) {
    case MSG_A2M_TIME_CLOCK: {
        Fields fields;
        const QString text = timeText(bigEndianAt(data, 1), &fields);
        fields << qMakePair(QStringLiteral("count"), num(byte(0)));
        return make(QStringLiteral("TimeReply"),
                    text + (byte(0) == 4 ? QString() : QStringLiteral(" count=%1").arg(byte(0))),
                    fields);
    }
    case MSG_A2M_VERSION:
        return decodeVersion(data);
    case MSG_A2M_KEY_COLOR:
        return make(QStringLiteral("KeyColour"),
                    QStringLiteral("%1 %2 %3 (head %4 %5)")
                        .arg(byte(2))
                        .arg(byte(3))
                        .arg(byte(4))
                        .arg(byte(0))
                        .arg(byte(1)),
                    {{QStringLiteral("colour1"), num(byte(2))},
                     {QStringLiteral("colour2"), num(byte(3))},
                     {QStringLiteral("colour3"), num(byte(4))}});
    case MSG_A2M_KEY_STUDY:
        return makeFields(
            QStringLiteral("KeyStudy"),
            {{QStringLiteral("cmd"), num(byte(0))}, {QStringLiteral("value"), num(byte(1))}});
    case MSG_A2M_MEDIA_PLAY_INFO:
        return makeFields(QStringLiteral("MediaInfo"), {dataField});
    default:
        return makeFields(QStringLiteral("Long"), {{QStringLiteral("msg"), num(msg)}, dataField});
    }
}

DecodedFrame decodeInboundNormal(quint32 msg, quint32 p1, quint32 p2)
{
    const QPair<QString, QString> f1 {QStringLiteral("p1"), num(p1)},
        f2 {QStringLiteral("p2"), num(p2)};
    switch (msg) {
    case MSG_M2A_KEY_PRESSED:
        return makeFields(QStringLiteral("Key"), {f1, f2});
    case MSG_M2A_CMD:
        return makeFields(QStringLiteral("Cmd"), {{QStringLiteral("sub"), num(p1)}, f2});
    case MSG_M2A_VERSION_REQ:
        return make(QStringLiteral("VersionReq"));
    case MSG_M2A_MCU_TYPE:
        return makeFields(QStringLiteral("McuType"),
                          {{QStringLiteral("mcu"), num(p1)}, {QStringLiteral("tuner"), num(p2)}});
    case MSG_M2A_DISCARD:
        return makeFields(QStringLiteral("Discard"), {f1, f2});
    default:
        return makeFields(QStringLiteral("Normal"), {{QStringLiteral("msg"), num(msg)}, f1, f2});
    }
}

DecodedFrame decodeInboundLong(quint32 msg, const QByteArray &data)
{
    const auto byte = [&data](int i) { return quint8(data.at(i)); };
    const QPair<QString, QString> dataField {QStringLiteral("data"), dataHex(data)};
    switch (qint32(msg)) {
    case MSG_M2A_TIME: {
        Fields fields;
        const QString text = timeText(qint32(bigEndianAt(data, 1)), &fields);
        return make(QStringLiteral("Time"), text, fields);
    }
    case MSG_M2A_RDS_TIME:
        return makeFields(
            QStringLiteral("RdsTime"),
            {{QStringLiteral("hour"), num(byte(1))}, {QStringLiteral("minute"), num(byte(2))}});
    case MSG_M2A_UUID:
        return makeFields(QStringLiteral("Uuid"),
                          {{QStringLiteral("prefix"), cString(data.mid(1, 2))},
                           {QStringLiteral("number"), num(bigEndianAt(data, 5))}},
                          {QStringLiteral("prefix")});
    case MSG_M2A_MCU_VERSION:
        return makeFields(QStringLiteral("McuVersion"),
                          {{QStringLiteral("text"), cString(data.mid(1))}},
                          {QStringLiteral("text")});
    case MSG_M2A_STEER_KEY_STUDY:
        return makeFields(QStringLiteral("SteerStudy"), {dataField});
    case MSG_M2A_SIM:
        return makeFields(QStringLiteral("Sim"), {dataField});
    case MSG_M2A_MCM:
        return makeFields(QStringLiteral("Mcm"), {dataField});
    case MSG_M2A_AUTO_TEST:
        return makeFields(QStringLiteral("AutoTest"), {dataField});
    default:
        break;
    }
    if (qint32(msg) == MSG_M2A_BASE_DATA
        || (qint32(msg) >= MSG_M2A_BASE_DATA_FIRST && qint32(msg) <= MSG_M2A_BASE_DATA_LAST))
        return makeFields(QStringLiteral("Base"), {{QStringLiteral("msg"), num(msg)}, dataField});
    return makeFields(QStringLiteral("Long"), {{QStringLiteral("msg"), num(msg)}, dataField});
}

DecodedFrame unframed(const QByteArray &bytes)
{
    return make(QStringLiteral("Unframed"), FrameCodec::wordHex(bytes),
                {{QStringLiteral("bytes"), FrameCodec::wordHex(bytes)}});
}

} // namespace

QString DecodedFrame::field(const QString &name, bool *found) const
{
    for (const auto &f : fields) {
        if (f.first == name) {
            if (found)
                *found = true;
            return f.second;
        }
    }
    if (found)
        *found = false;
    return QString();
}

int FrameCodec::outboundFrameLength(const QByteArray &buf)
{
    if (buf.size() < 4)
        return 0;
    switch (wordAt(buf, 0)) {
    case MAIN_APP_TYPE_NORMAL:
        return buf.size() >= MAIN_APP_NORMAL_MSG_SIZE ? MAIN_APP_NORMAL_MSG_SIZE : 0;
    case MAIN_APP_TYPE_MCU:
    case MAIN_APP_TYPE_CAN:
        return buf.size() >= MAIN_APP_LONG_MSG_SIZE ? MAIN_APP_LONG_MSG_SIZE : 0;
    default:
        return -1;
    }
}

DecodedFrame FrameCodec::decode(const QByteArray &frame)
{
    const quint32 type = frame.size() >= 4 ? wordAt(frame, 0) : 0;
    if (type == MAIN_APP_TYPE_NORMAL && frame.size() == MAIN_APP_NORMAL_MSG_SIZE) {
        const quint32 msg = wordAt(frame, 4), p1 = wordAt(frame, 8), p2 = wordAt(frame, 12);
        if (msg == MSG_A2M_CMD)
            return decodeCommand(p1, p2);
        return makeFields(QStringLiteral("Normal"),
                          {{QStringLiteral("msg"), num(msg)},
                           {QStringLiteral("p1"), num(p1)},
                           {QStringLiteral("p2"), num(p2)}});
    }
    if ((type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN)
        && frame.size() == MAIN_APP_LONG_MSG_SIZE)
        return decodeLong(type, wordAt(frame, 4), frame.mid(8));
    return unframed(frame);
}

DecodedFrame FrameCodec::decodeInbound(const QByteArray &bytes)
{
    const quint32 type = bytes.size() >= 4 ? wordAt(bytes, 0) : 0;
    if (type == MAIN_APP_TYPE_NORMAL && bytes.size() == MAIN_APP_NORMAL_MSG_SIZE)
        return decodeInboundNormal(wordAt(bytes, 4), wordAt(bytes, 8), wordAt(bytes, 12));
    // A long frame is exactly as long as its length word says, at most one record.
    if ((type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN)
        && bytes.size() >= MCUSRV_TO_MAIN_APP_HEADER_SIZE && bytes.size() <= MCUSRV_TO_MAIN_APP_SIZE
        && qint32(wordAt(bytes, 8)) == bytes.size()) {
        const QByteArray data =
            bytes.mid(MCUSRV_TO_MAIN_APP_HEADER_SIZE).leftJustified(MAIN_APP_LONG_DATA_SIZE, '\0');
        if (type == MAIN_APP_TYPE_CAN)
            return makeFields(QStringLiteral("Can"),
                              {{QStringLiteral("msg"), num(wordAt(bytes, 4))},
                               {QStringLiteral("data"), dataHex(data)}});
        return decodeInboundLong(wordAt(bytes, 4), data);
    }
    return unframed(bytes);
}

QStringList FrameCodec::launcherKinds()
{
    return {
        QStringLiteral("AppReady"),     QStringLiteral("Source"),    QStringLiteral("Heartbeat"),
        QStringLiteral("Eject"),        QStringLiteral("Reply"),     QStringLiteral("KeyStudy"),
        QStringLiteral("Command"),      QStringLiteral("Normal"),    QStringLiteral("TimeReply"),
        QStringLiteral("VersionReply"), QStringLiteral("KeyColour"), QStringLiteral("MediaInfo"),
        QStringLiteral("Can"),          QStringLiteral("Long"),      QStringLiteral("Unframed")};
}

QStringList FrameCodec::mcuKinds()
{
    return {
        QStringLiteral("Key"),        QStringLiteral("Cmd"),        QStringLiteral("VersionReq"),
        QStringLiteral("McuType"),    QStringLiteral("Discard"),    QStringLiteral("Normal"),
        QStringLiteral("Time"),       QStringLiteral("RdsTime"),    QStringLiteral("Uuid"),
        QStringLiteral("McuVersion"), QStringLiteral("SteerStudy"), QStringLiteral("Base"),
        QStringLiteral("Sim"),        QStringLiteral("Mcm"),        QStringLiteral("AutoTest"),
        QStringLiteral("Can"),        QStringLiteral("Long"),       QStringLiteral("Unframed")};
}

QByteArray FrameCodec::normalFrame(quint32 msg, quint32 p1, quint32 p2)
{
    QByteArray f(MAIN_APP_NORMAL_MSG_SIZE, '\0');
    uchar *p = reinterpret_cast<uchar *>(f.data());
    qToLittleEndian<quint32>(MAIN_APP_TYPE_NORMAL, p);
    qToLittleEndian<quint32>(msg, p + 4);
    qToLittleEndian<quint32>(p1, p + 8);
    qToLittleEndian<quint32>(p2, p + 12);
    return f;
}

QByteArray FrameCodec::longFrame(quint32 type, quint32 msg, const QByteArray &data)
{
    QByteArray f(MCUSRV_TO_MAIN_APP_HEADER_SIZE, '\0');
    uchar *p = reinterpret_cast<uchar *>(f.data());
    qToLittleEndian<quint32>(type, p);
    qToLittleEndian<quint32>(msg, p + 4);
    qToLittleEndian<qint32>(MCUSRV_TO_MAIN_APP_HEADER_SIZE + data.size(), p + 8);
    return f + data;
}

QString FrameCodec::wordHex(const QByteArray &bytes)
{
    QString out;
    for (int i = 0; i < bytes.size(); i += 4) {
        if (i)
            out += QLatin1Char(' ');
        out += QString::fromLatin1(bytes.mid(i, 4).toHex());
    }
    return out;
}

bool FrameCodec::parseHex(const QString &text, QByteArray *out)
{
    QByteArray digits;
    for (const QChar c : text) {
        if (c.isSpace())
            continue;
        const char l = c.toLatin1();
        if (!std::isxdigit(uchar(l)))
            return false;
        digits += l;
    }
    if (digits.isEmpty() || digits.size() % 2)
        return false;
    *out = QByteArray::fromHex(digits);
    return true;
}
