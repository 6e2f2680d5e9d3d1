#ifndef FRAMEKIND_H
#define FRAMEKIND_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include "framecodec.h"

class CommandArgs;

// One kind of frame: which frames are of it, how they are printed and, for a
// kind the simulator sends, the command that builds one and its help line.
// all() is the only list of kinds: the codec, the commands, the help, the
// checks and the filter all go by it.
struct FrameKind
{
    enum Direction { FromLauncher = 1, ToLauncher = 2, Both = FromLauncher | ToLauncher };
    // The type word; NoFrame: bytes that are not exactly one frame.
    enum Type { NoFrame = 0, Normal = 1, Mcu = 2, Can = 3 };
    enum : qint64 { Any = -1 };

    // One frame's words, whichever side sent it; data is zero-padded to 256 bytes.
    struct Frame
    {
        QByteArray bytes;
        Type type = NoFrame;
        quint32 msg = 0;
        quint32 p1 = 0;
        quint32 p2 = 0;
        QByteArray data;
    };
    struct Field
    {
        const char *name;
        QString (*value)(const Frame &);
        bool quoted = false;
    };
    using Build = bool (*)(CommandArgs &, QByteArray *frame);

    QString name;
    Direction direction = Both;
    Type type = NoFrame;
    // The frames of this kind: msg in [msg, lastMsg] and, for a normal
    // frame, p1 == code; Any matches every value. The first kind in all()
    // that matches a frame is its kind.
    qint64 msg = Any;
    qint64 lastMsg = Any;
    qint64 code = Any;
    QVector<Field> fields;
    // The line after the name; without it, the fields as name=value.
    QString (*text)(const Frame &) = nullptr;
    // In place of fields and text, for a kind whose fields depend on the frame.
    DecodedFrame (*decoder)(const Frame &) = nullptr;

    QString command; // the command that sends one; empty for none
    QString usage; // of the command, for the help
    QString help;
    Build build = nullptr;

    bool matches(Direction from, const Frame &frame) const;
    DecodedFrame decode(const Frame &frame) const;

    static const QVector<FrameKind> &all();
    // The kind of a frame sent from that side; bytes that are no frame are Unframed.
    static const FrameKind &of(Direction from, const Frame &frame);
    static const FrameKind *byCommand(const QString &command);
    // Every kind a side sends, each once, in the order of all().
    static QStringList names(Direction from);
};

#endif
