#include "pcapwriter.h"

#include <QCoreApplication>
#include <QtEndian>

namespace {

enum : quint32 {
    SectionHeaderBlock = 0x0A0D0D0A,
    InterfaceDescriptionBlock = 1,
    EnhancedPacketBlock = 6,
    ByteOrderMagic = 0x1A2B3C4D,
};

enum : quint16 {
    OptEnd = 0,
    OptComment = 1,
    OptShbUserAppl = 4,
    OptIfName = 2,
    OptEpbFlags = 2,
};

enum : quint32 { FlagInbound = 1, FlagOutbound = 2 };

template<typename T>
void append(QByteArray *out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out->append(bytes, sizeof(T));
}

// Every value is padded to 32 bits.
void pad(QByteArray *out)
{
    out->append((4 - out->size() % 4) % 4, '\0');
}

void option(QByteArray *out, quint16 code, const QByteArray &value)
{
    append<quint16>(out, code);
    append<quint16>(out, quint16(value.size()));
    out->append(value);
    pad(out);
}

void endOfOptions(QByteArray *out)
{
    append<quint32>(out, OptEnd);
}

} // namespace

bool PcapWriter::open(const QString &path, const QStringList &comments,
                      const QString &interfaceName, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, m_file.errorString());
        return false;
    }
    QByteArray shb;
    append<quint32>(&shb, ByteOrderMagic);
    append<quint16>(&shb, 1);
    append<quint16>(&shb, 0);
    append<qint64>(&shb, -1); // section length not given: written as it goes
    for (const QString &comment : comments)
        option(&shb, OptComment, comment.toUtf8());
    option(&shb, OptShbUserAppl,
           QStringLiteral("mcu-sim %1").arg(QCoreApplication::applicationVersion()).toUtf8());
    endOfOptions(&shb);
    block(SectionHeaderBlock, shb);

    QByteArray idb;
    append<quint16>(&idb, LinkType);
    append<quint16>(&idb, 0);
    append<quint32>(&idb, 0); // no snapshot length: frames are at most 268 bytes
    option(&idb, OptIfName, interfaceName.toUtf8());
    endOfOptions(&idb);
    block(InterfaceDescriptionBlock, idb);
    return true;
}

void PcapWriter::packet(char direction, qint64 usecsSinceEpoch, const QByteArray &bytes)
{
    if (!m_file.isOpen())
        return;
    QByteArray epb;
    append<quint32>(&epb, 0); // the one interface
    append<quint32>(&epb, quint32(quint64(usecsSinceEpoch) >> 32));
    append<quint32>(&epb, quint32(usecsSinceEpoch));
    append<quint32>(&epb, quint32(bytes.size()));
    append<quint32>(&epb, quint32(bytes.size()));
    epb.append(bytes);
    pad(&epb);
    QByteArray flags;
    append<quint32>(&flags, direction == '<' ? FlagInbound : FlagOutbound);
    option(&epb, OptEpbFlags, flags);
    endOfOptions(&epb);
    block(EnhancedPacketBlock, epb);
}

void PcapWriter::block(quint32 type, const QByteArray &body)
{
    QByteArray out;
    const quint32 length = quint32(body.size() + 12);
    append<quint32>(&out, type);
    append<quint32>(&out, length);
    out.append(body);
    append<quint32>(&out, length);
    // Flushed per block, so a killed session still leaves a readable capture.
    m_file.write(out);
    m_file.flush();
}
