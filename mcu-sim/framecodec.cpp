#include "framecodec.h"

#include <QDateTime>
#include <QtEndian>

#include "mainappmsg.h"

#include <cctype>

namespace {

quint32 wordAt(const QByteArray &f, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(f.constData()) + offset);
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

DecodedFrame make(const QString &kind, const QString &rest = QString())
{
    return {kind, rest.isEmpty() ? kind : kind + QLatin1Char(' ') + rest};
}

DecodedFrame decodeCommand(quint32 p1, quint32 p2)
{
    switch (p1) {
    case A2M_CMD_APP_READY:
        return make(QStringLiteral("AppReady"), QStringLiteral("p2=%1").arg(p2));
    case A2M_CMD_CUR_SOURCE:
        return make(QStringLiteral("Source"),
                    QStringLiteral("id=%1 param=%2").arg(p2 & 0xFFFF).arg(p2 >> 16));
    case A2M_CMD_HEARTBEAT:
        return make(QStringLiteral("Heartbeat"));
    case A2M_CMD_EJECT_DISC:
        return make(QStringLiteral("Eject"));
    case A2M_CMD_REPLY:
        return make(QStringLiteral("Reply"), QStringLiteral("186 p2=%1").arg(p2));
    case A2M_CMD_KEY_STUDY:
        return make(QStringLiteral("KeyStudy"), QStringLiteral("cmd=0 value=%1").arg(p2));
    default:
        return make(QStringLiteral("Command"), QStringLiteral("p1=%1 p2=%2").arg(p1).arg(p2));
    }
}

// count, Nc, customer, Ns, sdk, 13, 13 date bytes; every length is checked
// against the data area, since a broken sender is what this tool is for.
DecodedFrame decodeVersion(const QByteArray &data)
{
    int pos = 1;
    QStringList texts;
    for (int i = 0; i < 3; ++i) {
        const int n = pos < data.size() ? quint8(data.at(pos)) : -1;
        if (n < 0 || pos + 1 + n > data.size())
            return make(QStringLiteral("VersionReply"), QStringLiteral("malformed data=") + dataHex(data));
        QByteArray text = data.mid(pos + 1, n);
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        texts << QLatin1Char('"') + QString::fromLatin1(text) + QLatin1Char('"');
        pos += 1 + n;
    }
    return make(QStringLiteral("VersionReply"),
                QStringLiteral("customer=%1 sdk=%2 date=%3 count=%4")
                    .arg(texts.at(0), texts.at(1), texts.at(2)).arg(quint8(data.at(0))));
}

DecodedFrame decodeLong(quint32 type, quint32 msg, const QByteArray &data)
{
    const auto byte = [&data](int i) { return quint8(data.at(i)); };
    if (type == MAIN_APP_TYPE_CAN)
        return make(QStringLiteral("Can"), QStringLiteral("msg=%1 data=%2").arg(msg).arg(dataHex(data)));
    switch (msg) {
    case MSG_A2M_TIME_CLOCK: {
        const quint32 secs = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(data.constData()) + 1);
        const QDateTime when = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime);
        return make(QStringLiteral("TimeReply"), QStringLiteral("%1 (%2 s)%3")
                        .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")))
                        .arg(secs)
                        .arg(byte(0) == 4 ? QString() : QStringLiteral(" count=%1").arg(byte(0))));
    }
    case MSG_A2M_VERSION:
        return decodeVersion(data);
    case MSG_A2M_KEY_COLOR:
        return make(QStringLiteral("KeyColour"), QStringLiteral("%1 %2 %3 (head %4 %5)")
                        .arg(byte(2)).arg(byte(3)).arg(byte(4)).arg(byte(0)).arg(byte(1)));
    case MSG_A2M_KEY_STUDY:
        return make(QStringLiteral("KeyStudy"), QStringLiteral("cmd=%1 value=%2").arg(byte(0)).arg(byte(1)));
    case MSG_A2M_MEDIA_PLAY_INFO:
        return make(QStringLiteral("MediaInfo"), QStringLiteral("data=") + dataHex(data));
    default:
        return make(QStringLiteral("Long"), QStringLiteral("msg=%1 data=%2").arg(msg).arg(dataHex(data)));
    }
}

} // namespace

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
        return make(QStringLiteral("Normal"), QStringLiteral("msg=%1 p1=%2 p2=%3").arg(msg).arg(p1).arg(p2));
    }
    if ((type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN) && frame.size() == MAIN_APP_LONG_MSG_SIZE)
        return decodeLong(type, wordAt(frame, 4), frame.mid(8));
    return make(QStringLiteral("Unframed"), wordHex(frame));
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
