#ifndef LITERALREASSEMBLER_H
#define LITERALREASSEMBLER_H

#include <cstdint>
#include <cstdio>
#include <cstring>

// The reassembly exactly as first written for the unit, kept as the baseline:
// every frame is parsed from the front of the buffer, and every consumed frame
// moves the rest to the front and zeroes the whole 10 KB tail behind it.
class LiteralReassembler
{
public:
    enum : int { Capacity = 10240, MaxRead = 268 };

    LiteralReassembler() { std::memset(m_recvBuf, 0, sizeof m_recvBuf); }

    template<typename Deliver>
    void append(const unsigned char *chunk, int n, Deliver &&deliver)
    {
        if (n > Capacity - m_recvLen)
            m_recvLen = 0;
        std::memcpy(m_recvBuf + m_recvLen, chunk, size_t(n));
        m_recvLen += n;

        while (m_recvLen > 7) {
            uint32_t type;
            std::memcpy(&type, m_recvBuf, 4);
            if (type == 1) {
                if (m_recvLen < 16)
                    return;
                deliver(m_recvBuf);
                consume(16);
                continue;
            }
            // One deviation: the literal code reads the length word as soon as 8
            // bytes are there, takes the not yet arrived word as 0 and discards
            // the buffer. Waiting for the header costs nothing and lets the
            // baseline hand over every frame of the same stream.
            if (m_recvLen < 12)
                return;
            int32_t length;
            std::memcpy(&length, m_recvBuf + 8, 4);
            if (m_recvLen < length)
                return;
            std::memset(m_local, 0, sizeof m_local);
            if (length > MaxRead) {
                length = MaxRead;
                std::memcpy(m_recvBuf + 8, &length, 4);
            }
            if (length <= 0) {
                m_recvLen = 0;
                std::memset(m_recvBuf, 0, sizeof m_recvBuf);
                std::printf("=================>>>MainAppProtocolComm over size: %d\n", Capacity);
                continue;
            }
            std::memcpy(m_local, m_recvBuf, size_t(length));
            deliver(m_local);
            consume(length);
        }
    }

private:
    void consume(int k)
    {
        m_recvLen -= k;
        std::memmove(m_recvBuf, m_recvBuf + k, size_t(m_recvLen));
        std::memset(m_recvBuf + m_recvLen, 0, size_t(Capacity - m_recvLen));
    }

    unsigned char m_recvBuf[Capacity];
    int m_recvLen = 0;
    unsigned char m_local[MaxRead];
};

#endif
