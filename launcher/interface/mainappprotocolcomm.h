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
    static MainAppProtocolComm *GetInstance();
    static void DeleteInstance();

    // Tests point the link at names of their own so they can run side by side.
    static void setSocketNames(const char *localPath, const char *peerName);
    // The uid the service must have, -1 for any; the build's choice by default.
    static void setRequiredServiceUid(long uid);
    static long requiredServiceUid();

    void Start();
    void Stop();
    int SendData(void *frame, int len);

    void AppReady();
    void EjectDisc();
    void SendHeartbeattoMCU();
    void SendCurSrcToMcu(int srcId, int srcParam);
    void onlySendCurSrcToMcu(int srcId, int srcParam);
    void SendDataToMcu(unsigned int msg, unsigned int p1, unsigned int p2);
    void SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE cmd, unsigned char value);
    void SendTimeClockToMcu(unsigned char id, unsigned int seconds);
    void SendKeyColorToMcu(unsigned int color1, unsigned int color2, unsigned int color3);
    void SendMediaPlayInfoToMcu(unsigned char *bytes, int len);
    void SendLongDataToMcu(unsigned int msg, unsigned char *bytes, int len);
    void SendLongDataToCAN(unsigned int msg, unsigned char *bytes, int len);

    // Handles one complete frame; called only by the reader thread (and the fuzzer).
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
