#include "framecodec.h"

#include <QtEndian>

#include "framekind.h"
#include "mainappmsg.h"

#include <cctype>

namespace {

quint32 wordAt(const QByteArray &f, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(f.constData()) + offset);
}

// The header words of a frame; a normal frame's p1 and p2 too.
FrameKind::Frame frameOf(const QByteArray &bytes, FrameKind::Type type, int headerSize)
{
    FrameKind::Frame f;
    f.bytes = bytes;
    f.type = type;
    f.msg = wordAt(bytes, 4);
    if (type == FrameKind::Normal) {
        f.p1 = wordAt(bytes, 8);
        f.p2 = wordAt(bytes, 12);
    } else {
        f.data = bytes.mid(headerSize).leftJustified(MAIN_APP_LONG_DATA_SIZE, '\0');
    }
    return f;
}

FrameKind::Frame unframed(const QByteArray &bytes)
{
    FrameKind::Frame f;
    f.bytes = bytes;
    return f;
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
    FrameKind::Frame f = unframed(frame);
    if (type == MAIN_APP_TYPE_NORMAL && frame.size() == MAIN_APP_NORMAL_MSG_SIZE)
        f = frameOf(frame, FrameKind::Normal, 0);
    else if ((type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN)
             && frame.size() == MAIN_APP_LONG_MSG_SIZE)
        f = frameOf(frame, FrameKind::Type(type), 8);
    return FrameKind::of(FrameKind::FromLauncher, f).decode(f);
}

DecodedFrame FrameCodec::decodeInbound(const QByteArray &bytes)
{
    const quint32 type = bytes.size() >= 4 ? wordAt(bytes, 0) : 0;
    FrameKind::Frame f = unframed(bytes);
    if (type == MAIN_APP_TYPE_NORMAL && bytes.size() == MAIN_APP_NORMAL_MSG_SIZE)
        f = frameOf(bytes, FrameKind::Normal, 0);
    // A long frame is exactly as long as its length word says, at most one record.
    else if ((type == MAIN_APP_TYPE_MCU || type == MAIN_APP_TYPE_CAN)
             && bytes.size() >= MCUSRV_TO_MAIN_APP_HEADER_SIZE
             && bytes.size() <= MCUSRV_TO_MAIN_APP_SIZE && qint32(wordAt(bytes, 8)) == bytes.size())
        f = frameOf(bytes, FrameKind::Type(type), MCUSRV_TO_MAIN_APP_HEADER_SIZE);
    return FrameKind::of(FrameKind::ToLauncher, f).decode(f);
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
