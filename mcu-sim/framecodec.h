#ifndef FRAMECODEC_H
#define FRAMECODEC_H

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// One frame, in words. kind is the first word of text and what "wait-for",
// "expect", the print filter and the summary go by; fields are what "expect"
// compares, each value as the text shows it (without quotes).
struct DecodedFrame
{
    QString kind;
    QString text;
    QVector<QPair<QString, QString>> fields;

    QString field(const QString &name, bool *found = nullptr) const;
};

// Builds the frames the MCU service sends and reads the ones the launcher sends.
class FrameCodec
{
public:
    // Length of the launcher frame at the front of buf: 0 while more bytes are
    // needed, -1 when the front is no frame the launcher sends.
    static int outboundFrameLength(const QByteArray &buf);
    static DecodedFrame decode(const QByteArray &frame);
    // The same for what the MCU service sends: one frame, or bytes that are
    // not exactly one frame ("Unframed"). Both go by FrameKind::all().
    static DecodedFrame decodeInbound(const QByteArray &bytes);

    static QByteArray normalFrame(quint32 msg, quint32 p1, quint32 p2);
    // Inbound long frame; its length word covers the header and data only.
    static QByteArray longFrame(quint32 type, quint32 msg, const QByteArray &data);

    // "01000000 0c000000 ...": wire order, four bytes to a group.
    static QString wordHex(const QByteArray &bytes);
    // Hex digits with any white space between them; false on anything else.
    static bool parseHex(const QString &text, QByteArray *out);
};

#endif
