// Inbound dispatch of the MCU link: runs on the reader thread, one frame at a
// time, and calls the framework's singletons directly.

#include "mainappprotocolcomm.h"

#include "dltlog.h"
#include "linklog.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QTime>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "activitymanager.h"
#include "appdata.h"
#include "basecontrol.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "platformcontrol.h"
#include "setupstridconst.h"
#include "systemclock.h"

namespace zyappframework {

namespace {

// A normal frame is handed over in place in the reassembly buffer, so its
// words may sit at any alignment.
quint32 wordAt(const unsigned char *at)
{
    return qFromLittleEndian<quint32>(at);
}

quint32 bigEndianAt(const unsigned char *at)
{
    return qFromBigEndian<quint32>(at);
}

qint64 secondsSinceEpoch(const QDateTime &when)
{
    return when.toMSecsSinceEpoch() / 1000;
}

// Copies UTF-8 text into a zero-filled buffer of size bytes, cut so that the
// terminator always fits and no character is split: a torn multi-byte
// sequence would reach the MCU as garbage. Returns the number of bytes kept.
int copyCut(char *buffer, int size, const QByteArray &text)
{
    std::memset(buffer, 0, size_t(size));
    int n = qMin(text.size(), size - 1);
    while (n > 0 && n < text.size() && (uchar(text.at(n)) & 0xC0) == 0x80)
        --n;
    std::memcpy(buffer, text.constData(), size_t(n));
    return n;
}

// Times up to this are a clock the MCU has not set yet (within 180 days of 1970).
const qint32 LatestImplausibleTime = 15551999;

} // namespace

void MainAppProtocolComm::resolvePacket(unsigned char *frame)
{
    DltLog::traceFromMcu(frame);
    const quint32 type = wordAt(frame);

    if (type == MAIN_APP_TYPE_NORMAL) {
        const quint32 msg = wordAt(frame + 4);
        const quint32 p1 = wordAt(frame + 8);
        const quint32 p2 = wordAt(frame + 12);
        linkFrameLine("Main app normal msg:%u, p1:%u, p2:%u.", msg, p1, p2);

        switch (msg) {
        case MSG_M2A_CMD:
            if (p1 == MCU_CMD_NOTIFY_VALUE) {
                // The MCU expects the acknowledgement before the framework reacts.
                SendDataToMcu(MSG_A2M_CMD, A2M_CMD_REPLY, 0);
                ActivityManager::self()->notifyMcuValue(int(p2));
            } else if (p1 == MCU_CMD_EJECT) {
                BaseControl::getInstance()->ejectSlot();
            }
            break;
        case MSG_M2A_KEY_PRESSED:
            BaseControl::getInstance()->sendMcuKeyPressedSignal(int(p1), int(p2));
            break;
        case MSG_M2A_VERSION_REQ:
            sendVersionReply();
            break;
        case MSG_M2A_MCU_TYPE:
            qDebug() << "==========>MSG_M2A_MCU_TYPE:" << p1 << "tuner type: " << p2;
            AppData::GetInstance()->setMcuType(short(quint16(p1)));
            AppData::GetInstance()->setTunerType(short(quint16(p2)));
            break;
        case MSG_M2A_DISCARD:
            break;
        default: {
            MainAppNormalMsg record;
            record.type = MAIN_APP_TYPE_NORMAL;
            record.msg = msg;
            record.p1 = p1;
            record.p2 = p2;
            ActivityManager::self()->handleMcuMsg(record);
            break;
        }
        }
        return;
    }

    if (type != MAIN_APP_TYPE_MCU && type != MAIN_APP_TYPE_CAN)
        return;

    // Long frames arrive as the reader's zero-filled 268-byte copy.
    tag_MCUSRV_TO_MAIN_APP_T record;
    std::memcpy(&record, frame, sizeof record);

    if (type == MAIN_APP_TYPE_CAN) {
        ActivityManager::self()->handleCanMsg(record);
        return;
    }

    const unsigned char *data = record.data;
    const qint32 msg = qint32(wordAt(frame + 4));
    switch (msg) {
    case MSG_M2A_TIME:
        handleMcuTime(record);
        break;
    case MSG_M2A_MCU_VERSION: {
        PlatformControl *platform = PlatformControl::getInstance();
        if (!platform)
            break;
        const char *text = reinterpret_cast<const char *>(data + 1);
        const int len = int(strnlen(text, MAIN_APP_LONG_DATA_SIZE - 1));
        platform->setMcuVersion(QString::fromUtf8(text, len));
        break;
    }
    case MSG_M2A_STEER_KEY_STUDY: {
        MCU_STEER_KEY_STUDY_DATA study;
        for (int i = 0; i < 6; ++i)
            study.studyBytes[i] = data[i];
        for (int i = 0; i < 6; ++i)
            study.studyValues[i] = qint32(quint32(data[6 + 2 * i]) << 8 | data[7 + 2 * i]);
        BaseControl::getInstance()->ReceiveKeyStudyMsgFromMcu(study);
        break;
    }
    case MSG_M2A_BASE_DATA:
        BaseControl::getInstance()->RecevieMsgFromMcu(record);
        break;
    case MSG_M2A_RDS_TIME:
        handleRdsTime(record);
        break;
    case MSG_M2A_SIM:
        BaseControl::getInstance()->RecevieSIMMsgFromMcu(record);
        break;
    case MSG_M2A_MCM:
        BaseControl::getInstance()->RecevieMCMMsgFromMcu(record);
        break;
    case MSG_M2A_AUTO_TEST:
        // The framework reads the item's bytes from data[0] on.
        BaseControl::getInstance()->RecevieAutoTestFromMcu(data[1],
                                                           frame + MCUSRV_TO_MAIN_APP_HEADER_SIZE);
        break;
    case MSG_M2A_UUID: {
        char prefix[3] = {char(data[1]), char(data[2]), 0};
        char digits[16];
        snprintf(digits, sizeof digits, "%014u", unsigned(bigEndianAt(data + 5)));
        const QString uuid = QString::fromUtf8(prefix) + QLatin1String(digits);
        qDebug() << "==========>uuid:" << uuid << "len=" << uuid.length();
        AppData::GetInstance()->setUUID(uuid);
        break;
    }
    default:
        if (msg >= MSG_M2A_BASE_DATA_FIRST && msg <= MSG_M2A_BASE_DATA_LAST)
            BaseControl::getInstance()->RecevieMsgFromMcu(record);
        break;
    }
}

void MainAppProtocolComm::sendVersionReply()
{
    QString customer;
    QString sdk;
    // The platform layer may not be up yet; the MCU still gets its answer.
    if (PlatformControl *platform = PlatformControl::getInstance()) {
        customer = platform->getCustomerVer();
        sdk = platform->getSDKVer();
    }
    const QString date = BaseControl::getInstance()->getDateVersion();

    // Counts are bytes of the 8-bit text (UTF-8: main() makes it the locale's
    // codec), taken after the cut, so a long or non-ASCII version cannot shift
    // the fields that follow it.
    // The date goes out in a field of exactly 13 bytes: it is cut there, so a
    // character is never split by the field's end.
    const int dateLen = 13;
    char customerBuf[40];
    char sdkBuf[40];
    char dateBuf[dateLen + 1];
    const int nc = copyCut(customerBuf, sizeof customerBuf, customer.toLocal8Bit());
    const int ns = copyCut(sdkBuf, sizeof sdkBuf, sdk.toLocal8Bit());
    copyCut(dateBuf, sizeof dateBuf, date.toLocal8Bit());

    unsigned char reply[MAIN_APP_LONG_MSG_SIZE];
    std::memset(reply, 0, sizeof reply);
    qToLittleEndian<quint32>(MAIN_APP_TYPE_MCU, reply);
    qToLittleEndian<quint32>(MSG_A2M_VERSION, reply + 4);
    unsigned char *d = reply + 8;
    int at = 0;
    d[at++] = static_cast<unsigned char>(nc + ns + 3 + dateLen);
    d[at++] = static_cast<unsigned char>(nc);
    std::memcpy(d + at, customerBuf, size_t(nc));
    at += nc;
    d[at++] = static_cast<unsigned char>(ns);
    std::memcpy(d + at, sdkBuf, size_t(ns));
    at += ns;
    d[at++] = dateLen;
    std::memcpy(d + at, dateBuf, dateLen);
    SendData(reply, sizeof reply);
}

namespace {
// Without the privilege the clock stays where it was: say so, and let the
// caller not claim a synced clock.
bool setSystemClock(qint64 seconds)
{
    if (SystemClock::instance()->setTime(seconds) == 0)
        return true;
    linkLine("-main app set system time failed: %s", strerror(errno));
    return false;
}
} // namespace

void MainAppProtocolComm::handleMcuTime(const tag_MCUSRV_TO_MAIN_APP_T &frame)
{
    // Taken before anything else so the fallback uses the time of day at arrival.
    QDateTime start = SystemClock::instance()->now();
    start.setDate(QDate(2022, 1, 1));
    const qint64 startSeconds = secondsSinceEpoch(start);

    const qint32 mcuTime = qint32(bigEndianAt(frame.data + 1));
    bool set;
    if (mcuTime > LatestImplausibleTime) {
        set = setSystemClock(mcuTime);
    } else {
        set = setSystemClock(startSeconds);
        // The MCU adopts the unit's start time whether or not our clock moved.
        SendTimeClockToMcu(MSG_A2M_TIME_CLOCK, static_cast<unsigned int>(startSeconds));
    }
    if (set)
        AppData::GetInstance()->setMcuTimeSynced(true);
}

void MainAppProtocolComm::handleRdsTime(const tag_MCUSRV_TO_MAIN_APP_T &frame)
{
    const QString &key = SetupStrIdConst::setupSyncRdsTime;
    const bool byDefault = DataDefault::getDefault(key).toBool();
    if (!DataSaveControl::readSettingData(key, QVariant(byDefault), QString()).toBool())
        return;

    const int hour = frame.data[1];
    const int minute = frame.data[2];
    // A broken RDS decode must neither move the clock nor reach the MCU.
    if (hour > 23 || minute > 59)
        return;

    QDateTime when = SystemClock::instance()->now();
    when.setTime(QTime(hour, minute, 0, 0));
    // A local time skipped by a daylight-saving change names no instant.
    if (!when.isValid())
        return;
    const qint64 seconds = secondsSinceEpoch(when);
    setSystemClock(seconds);
    SendTimeClockToMcu(MSG_A2M_TIME_CLOCK, static_cast<unsigned int>(seconds));
}

} // namespace zyappframework
