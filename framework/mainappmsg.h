// Wire types of the MCU link, shared by the launcher, the framework and the MCU service.
#ifndef MAINAPPMSG_H
#define MAINAPPMSG_H

#include <cstddef>
#include <cstdint>

// Header words are in host byte order (little-endian on the target); numbers
// inside the data of a long frame are big-endian.
enum MainAppFrameType : uint32_t {
    MAIN_APP_TYPE_NORMAL = 1,
    MAIN_APP_TYPE_MCU = 2,
    MAIN_APP_TYPE_CAN = 3,
};

enum : int {
    MAIN_APP_NORMAL_MSG_SIZE = 16,
    MAIN_APP_LONG_MSG_SIZE = 264,
    MAIN_APP_LONG_DATA_SIZE = 256,
    MCUSRV_TO_MAIN_APP_SIZE = 268,
    MCUSRV_TO_MAIN_APP_HEADER_SIZE = 12,
};

struct MainAppNormalMsg
{
    uint32_t type;
    uint32_t msg;
    uint32_t p1;
    uint32_t p2;
};

// Outbound long frame: no length word, always sent whole.
struct MainAppLongMsg
{
    uint32_t type;
    uint32_t msg;
    unsigned char data[MAIN_APP_LONG_DATA_SIZE];
};

// Inbound long frame as handed to the framework: always 268 bytes, zero past length.
struct tag_MCUSRV_TO_MAIN_APP_T
{
    uint32_t type;
    uint32_t msg;
    int32_t length;
    unsigned char data[MAIN_APP_LONG_DATA_SIZE];
};

struct MCU_STEER_KEY_STUDY_DATA
{
    unsigned char studyBytes[6];
    int32_t studyValues[6];
};

// Callers may pass any int as a command; a fixed int type makes that well-defined.
enum STEER_KEY_STUDY_CMD_TYPE : int {
    STEER_KEY_STUDY_CMD_0 = 0,
    STEER_KEY_STUDY_CMD_1 = 1,
};

// Normal frames from the MCU (type 1).
enum : uint32_t {
    MSG_M2A_CMD = 0x0211,
    MSG_M2A_KEY_PRESSED = 0x3316,
    MSG_M2A_VERSION_REQ = 0x3318,
    MSG_M2A_MCU_TYPE = 0x3358,
    MSG_M2A_DISCARD = 0x7101,
};

// Long frames from the MCU (type 2).
enum : int32_t {
    MSG_M2A_TIME = 0x0C,
    MSG_M2A_MCU_VERSION = 0x19,
    MSG_M2A_STEER_KEY_STUDY = 0x2F,
    MSG_M2A_BASE_DATA = 0x39,
    MSG_M2A_BASE_DATA_FIRST = 0x40,
    MSG_M2A_BASE_DATA_LAST = 0x4E,
    MSG_M2A_RDS_TIME = 0x52,
    MSG_M2A_SIM = 0x53,
    MSG_M2A_MCM = 0x54,
    MSG_M2A_AUTO_TEST = 0x70,
    MSG_M2A_UUID = 0xD4,
};

// Sub-codes of MSG_M2A_CMD.
enum : uint32_t {
    MCU_CMD_NOTIFY_VALUE = 13,
    MCU_CMD_EJECT = 47,
};

// Outbound: msg word of every fixed normal command, and its command codes in p1.
enum : uint32_t {
    MSG_A2M_CMD = 12,
    A2M_CMD_CUR_SOURCE = 5,
    A2M_CMD_APP_READY = 17,
    A2M_CMD_EJECT_DISC = 140,
    A2M_CMD_REPLY = 186,
    A2M_CMD_KEY_STUDY = 189,
    A2M_CMD_HEARTBEAT = 190,
};

// Outbound long frame ids.
enum : uint32_t {
    MSG_A2M_KEY_COLOR = 19,
    MSG_A2M_TIME_CLOCK = 195,
    MSG_A2M_MEDIA_PLAY_INFO = 196,
    MSG_A2M_KEY_STUDY = 201,
    MSG_A2M_VERSION = 0xCD,
};

static_assert(sizeof(MainAppNormalMsg) == 16, "normal frame is 16 bytes on the wire");
static_assert(offsetof(MainAppNormalMsg, msg) == 4 && offsetof(MainAppNormalMsg, p1) == 8
                  && offsetof(MainAppNormalMsg, p2) == 12,
              "normal frame layout");
static_assert(sizeof(MainAppLongMsg) == 264, "outbound long frame is 264 bytes on the wire");
static_assert(offsetof(MainAppLongMsg, msg) == 4 && offsetof(MainAppLongMsg, data) == 8,
              "outbound long frame layout");
static_assert(sizeof(tag_MCUSRV_TO_MAIN_APP_T) == 268, "inbound long record is 268 bytes");
static_assert(offsetof(tag_MCUSRV_TO_MAIN_APP_T, msg) == 4
                  && offsetof(tag_MCUSRV_TO_MAIN_APP_T, length) == 8
                  && offsetof(tag_MCUSRV_TO_MAIN_APP_T, data) == 12,
              "inbound long record layout");
static_assert(offsetof(MCU_STEER_KEY_STUDY_DATA, studyValues) == 8
                  && sizeof(MCU_STEER_KEY_STUDY_DATA) == 32,
              "steering-key study record layout");

#endif
