#ifndef FRAMINGMODEL_H
#define FRAMINGMODEL_H

#include <QByteArray>
#include <QList>
#include <QtEndian>

// The inbound framing rules of the MCU link written out the plain way (one
// byte array, frames cut off its front), as the oracle that the fuzzer and the
// tests hold the reader against.
//
//  - a chunk that does not fit behind the buffered bytes drops them;
//  - fewer than 8 bytes never start a frame;
//  - type 1: 16 bytes, handed over as they are;
//  - any other type: framed by the signed length word at offset 8, once the
//    12-byte header is in; a length below 12 or above the buffer's capacity
//    drops everything buffered (a discard); above 268 only the first 268 bytes
//    are taken, with the length word rewritten to 268; the record handed over
//    is always 268 bytes, zero after the frame.
class FramingModel
{
public:
    enum { Capacity = 10240, Record = 268, Normal = 16, Header = 12 };

    // The records the chunk completes, in order.
    QList<QByteArray> append(const QByteArray &chunk)
    {
        QList<QByteArray> out;
        if (chunk.size() > Capacity - m_buffer.size())
            m_buffer.clear();
        m_buffer += chunk.right(Capacity);
        while (m_buffer.size() >= 8) {
            const bool normal = word(0) == 1;
            if (!normal && m_buffer.size() < Header)
                break;
            const qint32 length = normal ? qint32(Normal) : qint32(word(8));
            if (length < Header || length > Capacity) {
                m_buffer.clear();
                ++discards;
                break;
            }
            if (m_buffer.size() < length)
                break;
            QByteArray record = m_buffer.left(qMin<int>(length, Record));
            m_buffer.remove(0, record.size());
            if (length > Record)
                qToLittleEndian<qint32>(Record, record.data() + 8);
            out.append(normal ? record : record.leftJustified(Record, '\0'));
        }
        return out;
    }

    const QByteArray &buffered() const { return m_buffer; }

    int discards = 0;

private:
    quint32 word(int at) const { return qFromLittleEndian<quint32>(m_buffer.constData() + at); }

    QByteArray m_buffer;
};

#endif
