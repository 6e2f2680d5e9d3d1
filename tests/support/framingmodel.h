#ifndef FRAMINGMODEL_H
#define FRAMINGMODEL_H

#include <QByteArray>
#include <QList>
#include <QtEndian>

// The inbound framing rules of the MCU link written out the plain way (one
// byte array, frames cut off its front), as the oracle that the fuzzer and the
// fault tests hold the reader against.
//
//  - a chunk that does not fit behind the buffered bytes drops them;
//  - fewer than 8 bytes never start a frame;
//  - type 1: 16 bytes, handed over as they are;
//  - any other type: framed by the signed length word at offset 8, once the
//    12-byte header is in; a length below 12 or above the buffer's capacity
//    drops everything buffered; above 268 only the first 268 bytes are taken,
//    with the length word rewritten to 268; the record handed over is always
//    268 bytes, zero after the frame.
class FramingModel
{
public:
    enum { Capacity = 10240, Record = 268, Normal = 16, Header = 12 };

    // The records the chunk completes, in order.
    QList<QByteArray> append(QByteArray chunk)
    {
        QList<QByteArray> out;
        if (chunk.size() > Capacity)
            chunk = chunk.right(Capacity);
        if (chunk.size() > Capacity - m_buffer.size())
            m_buffer.clear();
        m_buffer += chunk;
        while (m_buffer.size() >= 8) {
            if (word(0) == 1) {
                if (m_buffer.size() < Normal)
                    break;
                out.append(m_buffer.left(Normal));
                m_buffer.remove(0, Normal);
                continue;
            }
            if (m_buffer.size() < Header)
                break;
            const qint32 length = qint32(word(8));
            if (length < Header || length > Capacity) {
                m_buffer.clear();
                break;
            }
            if (m_buffer.size() < length)
                break;
            const int take = qMin<int>(length, Record);
            QByteArray record = m_buffer.left(take);
            if (length > Record)
                qToLittleEndian<qint32>(Record, record.data() + 8);
            record.append(QByteArray(Record - take, '\0'));
            out.append(record);
            m_buffer.remove(0, take);
        }
        return out;
    }

    // Feeds a whole stream in chunks of the given size, as the reader reads it.
    QList<QByteArray> feed(const QByteArray &stream, int chunk)
    {
        QList<QByteArray> out;
        for (int at = 0; at < stream.size(); at += chunk)
            out += append(stream.mid(at, chunk));
        return out;
    }

    int pending() const { return m_buffer.size(); }
    const QByteArray &buffered() const { return m_buffer; }

private:
    quint32 word(int at) const { return qFromLittleEndian<quint32>(m_buffer.constData() + at); }

    QByteArray m_buffer;
};

#endif
