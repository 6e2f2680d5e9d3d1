#ifndef MAINAPPPROTOCOLCOMM_H
#define MAINAPPPROTOCOLCOMM_H

#include <atomic>
#include <pthread.h>
#include <sys/un.h>

#include "framereassembler.h"
#include "launcher_export.h"
#include "mainappmsg.h"

namespace zyappframework {

// The link to the MCU service: one local stream socket, a reader thread that
// reassembles and dispatches inbound frames, and senders callable from any thread.
class LAUNCHER_EXPORT MainAppProtocolComm
{
public:
    // The one link of the process, made on first use. Call the first time from
    // the GUI thread before Start; not safe against a concurrent first call.
    static MainAppProtocolComm *GetInstance();
    // Stops the link, waits for the reader to end and frees it; any thread but
    // the reader's (refused there, with a line). GetInstance afterwards makes a new one.
    static void DeleteInstance();

    // Tests point the link at names of their own so they can run side by side.
    // Before Start only; names longer than the address holds are cut.
    static void setSocketNames(const char *localPath, const char *peerName);
    // The uid the service must have, written as the build option is: digits, or
    // empty for any (so is anything else). The build's by default; set it before Start.
    static void setRequiredServiceUid(const char *uid);
    // The uid parsed, -1 for any.
    static long requiredServiceUid();

    // Dials the service once and starts the reader thread, which dials again
    // with back-off (0.1 s doubling to 2 s) for as long as the link runs. Once.
    void Start();
    // Any thread: ends the reader's read or wait at once; senders then return
    // -1. A second call does nothing. Does not wait for the reader: DeleteInstance does.
    void Stop();
    // Any thread: sends len bytes as one whole frame, never interleaved with
    // another sender's. 0: sent, or dropped after a 50 ms wait for another
    // sender (said with "repeat call SendData"); -1: no connection, stopped, or
    // nothing could be sent. A frame half sent ends the connection (the reader
    // reconnects) rather than leave the stream mid-frame; it waits at most 1 s.
    int SendData(void *frame, int len);

    // The senders below: any thread, one frame each through SendData, nothing
    // queued while the link is down (the frame is lost, as the MCU expects).
    // AppReady: once per connection; later connections get it first by themselves.
    void AppReady();
    void EjectDisc();
    void SendHeartbeattoMCU();
    // srcId 0..65534 (larger ones are ignored); srcParam goes in p2's high
    // half. SendCurSrcToMcu updates the framework's source record first.
    void SendCurSrcToMcu(int srcId, int srcParam);
    void onlySendCurSrcToMcu(int srcId, int srcParam);
    void SendDataToMcu(unsigned int msg, unsigned int p1, unsigned int p2);
    // CMD_0 as a normal frame, CMD_1 as a long one; other commands send nothing.
    void SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE cmd, unsigned char value);
    // id is not sent: the MCU knows the clock under one id only.
    void SendTimeClockToMcu(unsigned char id, unsigned int seconds);
    // The low byte of each colour.
    void SendKeyColorToMcu(unsigned int color1, unsigned int color2, unsigned int color3);
    // 1 to 255 bytes, copied before the call returns, padded with zeros to the
    // 256-byte data area; null or any other length sends nothing.
    void SendMediaPlayInfoToMcu(unsigned char *bytes, int len);
    void SendLongDataToMcu(unsigned int msg, unsigned char *bytes, int len);
    void SendLongDataToCAN(unsigned int msg, unsigned char *bytes, int len);

    // Handles one complete frame (MCUSRV_TO_MAIN_APP_SIZE bytes readable); called
    // only by the reader thread (and the fuzzer), never concurrently with itself.
    void resolvePacket(unsigned char *frame);

    virtual ~MainAppProtocolComm();

private:
    MainAppProtocolComm();
    MainAppProtocolComm(const MainAppProtocolComm &) = delete;
    MainAppProtocolComm &operator=(const MainAppProtocolComm &) = delete;

    static void *_thread(void *self);
    void loop();
    bool waitBeforeReconnect(int ms);
    void reconnect();
    // The send lock: whole frames, waited for on the monotonic clock; ms < 0
    // waits as long as it takes.
    bool lockSend(int ms);
    void unlockSend();
    // The 50 ms wait of a sender; a frame that cannot wait longer is dropped, and said so.
    bool takeSendLock();
    // One whole frame on the current socket; the send lock is held.
    int sendLocked(const void *frame, int len);
    bool sendAppReadyLocked();
    void linkDown(const char *reason);

    void handleMcuTime(const tag_MCUSRV_TO_MAIN_APP_T &frame);
    void handleRdsTime(const tag_MCUSRV_TO_MAIN_APP_T &frame);
    void sendVersionReply();

    pthread_t m_threadId;
    std::atomic<int> m_running;
    // Read by senders without the lock; the reader installs a socket there
    // when Start could not create one.
    std::atomic<int> m_socket;
    sockaddr_un m_localAddr;
    FrameReassembler m_reassembler;
    // Guards m_sendBusy only; the frame itself is sent without holding it.
    pthread_mutex_t m_sendMutex;
    pthread_cond_t m_sendFree;
    bool m_sendBusy;
    // Lets Stop cut short the reader's wait before a reconnect.
    pthread_mutex_t m_wakeMutex;
    pthread_cond_t m_wakeCond;
    // Set once the start sequence has sent, or tried to send, AppReady: from
    // then on every new connection gets it first.
    std::atomic<bool> m_appReadyDue;
    // Whether the current connection has had its AppReady; under the send lock.
    bool m_greeted;
    // A sender ended the connection over a frame it could not finish.
    std::atomic<bool> m_endedByUs;
    std::atomic<bool> m_threadStarted;
    // Reader thread only: whether the last dial reached the service.
    bool m_linkUp;

    static MainAppProtocolComm *m_s_MainAppProtocolComm;
};

} // namespace zyappframework

#endif
