#ifndef FRAMEREASSEMBLER_H
#define FRAMEREASSEMBLER_H

#include <cstdint>
#include <cstring>

#include "mainappmsg.h"

// Rebuilds whole frames from the bytes of the MCU link. Owned by the reader
// thread; nothing here is allocated per frame.
//
// Invariant: every byte of the buffer after the first pending() bytes is zero.
class FrameReassembler
{
public:
    enum : int {
        Capacity = 10240,
        MaxRead = MCUSRV_TO_MAIN_APP_SIZE,
    };

    FrameReassembler();

    int pending() const { return m_recvLen; }
    const unsigned char *buffer() const { return m_recvBuf; }

    // Appends one chunk of at most Capacity bytes and hands every frame it
    // completes to deliver(unsigned char *frame), in order: normal frames in
    // place, every other frame as a zero-filled 268-byte record.
    template<typename Deliver>
    void append(const unsigned char *chunk, int n, Deliver &&deliver);

    // Forgets the buffered bytes without a word: a partial frame of a closed
    // connection must not be glued to the start of the next one.
    void reset();

private:
    // What to do with the frame at the front of the unparsed bytes.
    enum Step { NeedMore, Normal, Long, Discard };
    Step inspect(int offset, int available, int *frameLen);
    void compact(int consumed);
    void discardAll();

    alignas(8) unsigned char m_recvBuf[Capacity];
    int m_recvLen;
    alignas(8) unsigned char m_record[MaxRead];
};

template<typename Deliver>
void FrameReassembler::append(const unsigned char *chunk, int n, Deliver &&deliver)
{
    if (n <= 0)
        return;
    if (n > Capacity) {
        // Only the newest Capacity bytes could ever be kept.
        chunk += n - Capacity;
        n = Capacity;
    }
    if (n > Capacity - m_recvLen) {
        // A chunk that does not fit behind what is buffered: drop the buffer.
        std::memset(m_recvBuf, 0, m_recvLen);
        m_recvLen = 0;
    }
    std::memcpy(m_recvBuf + m_recvLen, chunk, n);
    m_recvLen += n;

    // Frames are taken from an offset and the remainder is compacted once per
    // chunk, instead of moving the buffer after every frame.
    int offset = 0;
    for (;;) {
        int frameLen = 0;
        const Step step = inspect(offset, m_recvLen - offset, &frameLen);
        if (step == NeedMore)
            break;
        if (step == Discard) {
            discardAll();
            return;
        }
        if (step == Normal) {
            deliver(m_recvBuf + offset);
        } else {
            std::memcpy(m_record, m_recvBuf + offset, frameLen);
            std::memset(m_record + frameLen, 0, MaxRead - frameLen);
            deliver(m_record);
        }
        offset += frameLen;
    }
    // Most reads of a long frame complete nothing: no need to move the buffer onto itself.
    if (offset > 0)
        compact(offset);
}

#endif
