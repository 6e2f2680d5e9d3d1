// Outbound commands of the MCU link. Each builds one frame in its own stack
// storage (callers come from any thread) and hands it to SendData once.

#include "mainappprotocolcomm.h"

#include "linklog.h"

#include <QtEndian>

#include <cstdio>
#include <cstring>

#include "appdata.h"
#include "basecontrol.h"

namespace zyappframework {

namespace {

// Ids above this do not fit the low half of p2 next to the parameter.
const int MaxSourceId = 65534;

void putWord(unsigned char *at, quint32 value)
{
    qToLittleEndian<quint32>(value, at);
}

struct NormalFrame
{
    unsigned char bytes[MAIN_APP_NORMAL_MSG_SIZE];

    NormalFrame(quint32 msg, quint32 p1, quint32 p2)
    {
        putWord(bytes, MAIN_APP_TYPE_NORMAL);
        putWord(bytes + 4, msg);
        putWord(bytes + 8, p1);
        putWord(bytes + 12, p2);
    }
};

struct LongFrame
{
    unsigned char bytes[MAIN_APP_LONG_MSG_SIZE];

    LongFrame(quint32 type, quint32 msg)
    {
        std::memset(bytes, 0, sizeof bytes);
        putWord(bytes, type);
        putWord(bytes + 4, msg);
    }
    unsigned char *data() { return bytes + 8; }
};

// The parameter is shifted as an unsigned word: same bits as the MCU expects,
// and no undefined behaviour for negative parameters.
quint32 sourceWord(int srcId, int srcParam)
{
    return (quint32(srcParam) << 16) | (quint32(srcId) & 0xFFFFu);
}

void sendCallerBytes(MainAppProtocolComm *link, quint32 type, unsigned int msg,
                     const unsigned char *bytes, int len)
{
    // 255, not 256: the MCU service reads at most 255 payload bytes.
    if (!bytes || len < 1 || len > 255)
        return;
    LongFrame f(type, msg);
    std::memcpy(f.data(), bytes, size_t(len));
    link->SendData(f.bytes, sizeof f.bytes);
}

} // namespace

void MainAppProtocolComm::AppReady()
{
    // Before the lock, and before giving up on a missing socket: a reconnect
    // that takes the lock first greets its connection itself, and this call
    // then sees that and sends nothing more.
    m_appReadyDue = true;
    if (m_socket.load(std::memory_order_acquire) == -1)
        return;
    if (!takeSendLock())
        return;
    if (m_running && !m_greeted)
        m_greeted = sendAppReadyLocked();
    unlockSend();
}

bool MainAppProtocolComm::sendAppReadyLocked()
{
    NormalFrame f(MSG_A2M_CMD, A2M_CMD_APP_READY, 2);
    return sendLocked(f.bytes, sizeof f.bytes) == 0;
}

void MainAppProtocolComm::EjectDisc()
{
    NormalFrame f(MSG_A2M_CMD, A2M_CMD_EJECT_DISC, 0);
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendHeartbeattoMCU()
{
    NormalFrame f(MSG_A2M_CMD, A2M_CMD_HEARTBEAT, 0);
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendCurSrcToMcu(int srcId, int srcParam)
{
    if (srcId > MaxSourceId)
        return;
    linkLine("current src id:%d", srcId);

    // The framework's record must be current before the MCU hears of the
    // switch: the MCU's answer may arrive on the reader thread at once.
    if (AppData *data = AppData::GetInstance()) {
        data->setLastSource(data->curSource());
        data->setCurSource(srcId);
        const tag_SOURCE_ID_T src = tag_SOURCE_ID_T(srcId);
        if (data->isAudioSource(src)) {
            data->setIsFirstRun(true);
            if (data->isDirectSwitchAudioSrc(src)) {
                BaseControl::getInstance()->changeMediaSrcSlot(data->curAudioSource(), srcId);
                // changeMediaSrcSlot may itself have moved the audio source.
                if (data->curAudioSource() != srcId)
                    data->setLastAudioSource(data->curAudioSource());
                data->setCurAudioSource(srcId);
            }
        }
    }

    NormalFrame f(MSG_A2M_CMD, A2M_CMD_CUR_SOURCE, sourceWord(srcId, srcParam));
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::onlySendCurSrcToMcu(int srcId, int srcParam)
{
    if (srcId > MaxSourceId)
        return;
    linkLine("current src id2:%d", srcId);
    NormalFrame f(MSG_A2M_CMD, A2M_CMD_CUR_SOURCE, sourceWord(srcId, srcParam));
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendDataToMcu(unsigned int msg, unsigned int p1, unsigned int p2)
{
    NormalFrame f(msg, p1, p2);
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE cmd, unsigned char value)
{
    if (cmd == STEER_KEY_STUDY_CMD_0) {
        NormalFrame f(MSG_A2M_CMD, A2M_CMD_KEY_STUDY, value);
        SendData(f.bytes, sizeof f.bytes);
    } else if (cmd == STEER_KEY_STUDY_CMD_1) {
        LongFrame f(MAIN_APP_TYPE_MCU, MSG_A2M_KEY_STUDY);
        f.data()[0] = static_cast<unsigned char>(cmd);
        f.data()[1] = value;
        SendData(f.bytes, sizeof f.bytes);
    }
}

void MainAppProtocolComm::SendTimeClockToMcu(unsigned char id, unsigned int seconds)
{
    Q_UNUSED(id); // the MCU knows the clock only under one id
    LongFrame f(MAIN_APP_TYPE_MCU, MSG_A2M_TIME_CLOCK);
    f.data()[0] = 4;
    qToBigEndian<quint32>(seconds, f.data() + 1);
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendKeyColorToMcu(unsigned int color1, unsigned int color2,
                                            unsigned int color3)
{
    LongFrame f(MAIN_APP_TYPE_MCU, MSG_A2M_KEY_COLOR);
    unsigned char *d = f.data();
    d[0] = 4;
    d[1] = 1;
    d[2] = static_cast<unsigned char>(color1 & 0xFF);
    d[3] = static_cast<unsigned char>(color2 & 0xFF);
    d[4] = static_cast<unsigned char>(color3 & 0xFF);
    SendData(f.bytes, sizeof f.bytes);
}

void MainAppProtocolComm::SendMediaPlayInfoToMcu(unsigned char *bytes, int len)
{
    SendLongDataToMcu(MSG_A2M_MEDIA_PLAY_INFO, bytes, len);
}

void MainAppProtocolComm::SendLongDataToMcu(unsigned int msg, unsigned char *bytes, int len)
{
    sendCallerBytes(this, MAIN_APP_TYPE_MCU, msg, bytes, len);
}

void MainAppProtocolComm::SendLongDataToCAN(unsigned int msg, unsigned char *bytes, int len)
{
    sendCallerBytes(this, MAIN_APP_TYPE_CAN, msg, bytes, len);
}

} // namespace zyappframework
