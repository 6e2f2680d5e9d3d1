#include "framereassembler.h"

#include "linklog.h"

#include <cstdio>

FrameReassembler::FrameReassembler()
    : m_recvLen(0)
{
    // The record needs none: every frame is copied in whole, zeros behind it.
    std::memset(m_recvBuf, 0, sizeof m_recvBuf);
}

FrameReassembler::Step FrameReassembler::inspect(int offset, int available, int *frameLen)
{
    // Fewer than 8 bytes never start a frame, whatever the first word says.
    if (available <= 7)
        return NeedMore;
    unsigned char *front = m_recvBuf + offset;
    uint32_t type;
    std::memcpy(&type, front, sizeof type);
    if (type == MAIN_APP_TYPE_NORMAL) {
        if (available < MAIN_APP_NORMAL_MSG_SIZE)
            return NeedMore;
        *frameLen = MAIN_APP_NORMAL_MSG_SIZE;
        return Normal;
    }
    // The length word is only meaningful once the whole header is here.
    if (available < MCUSRV_TO_MAIN_APP_HEADER_SIZE)
        return NeedMore;
    int32_t length;
    std::memcpy(&length, front + 8, sizeof length);
    // Shorter than its own header, negative or larger than the buffer: such a
    // frame can never be completed or handed over whole, so the whole buffer
    // goes rather than stalling the link or handing on a torn header.
    if (length < MCUSRV_TO_MAIN_APP_HEADER_SIZE || length > Capacity)
        return Discard;
    if (available < length)
        return NeedMore;
    if (length > MaxRead) {
        length = MaxRead;
        std::memcpy(front + 8, &length, sizeof length);
    }
    *frameLen = length;
    return Long;
}

void FrameReassembler::compact(int consumed)
{
    const int remaining = m_recvLen - consumed;
    std::memmove(m_recvBuf, m_recvBuf + consumed, remaining);
    // Only the bytes the move vacated need clearing; the rest are zero already.
    std::memset(m_recvBuf + remaining, 0, consumed);
    m_recvLen = remaining;
}

void FrameReassembler::reset()
{
    std::memset(m_recvBuf, 0, m_recvLen);
    m_recvLen = 0;
}

void FrameReassembler::discardAll()
{
    reset();
    linkLine("=================>>>MainAppProtocolComm over size: %d", Capacity);
}
