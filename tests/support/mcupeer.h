#ifndef MCUPEER_H
#define MCUPEER_H

#include "framecodec.h"

namespace zyappframework {
class MainAppProtocolComm;
}

// A stand-in for the MCU service in tests: listens on an abstract socket name,
// takes the launcher's connection and reads or writes raw bytes.
class McuPeer
{
public:
    // name starts with '@' for the abstract namespace; by default a name of
    // its own per peer, so tests can run side by side.
    explicit McuPeer(const QByteArray &name = QByteArray());
    ~McuPeer();

    QByteArray name() const { return m_name; }
    bool listen();
    // Dials to the name are refused until the next listen().
    void stopListening();
    bool accept(int timeoutMs = 5000);
    // The other side: dials a listening peer's name instead of accepting.
    bool connectTo(const QByteArray &name);
    void closeConnection();

    bool write(const QByteArray &bytes);
    // Reads exactly n bytes, or what arrived before the timeout or the end.
    QByteArray read(int n, int timeoutMs = 2000);
    // Everything that arrives within timeoutMs.
    QByteArray readAll(int timeoutMs = 200);
    int fd() const { return m_conn; }

    static QByteArray uniqueName();

    // Listens, points the link singleton at this peer with its own end bound
    // to localPath, starts it and takes the connection.
    zyappframework::MainAppProtocolComm *connectLink(const QString &localPath);

private:
    QByteArray m_name;
    int m_listen = -1;
    int m_conn = -1;
};

// The service's frames come from its own codec; the builders below are the
// ones it has no use for.
inline constexpr auto normalFrame = &FrameCodec::normalFrame;
inline constexpr auto longFrame = &FrameCodec::longFrame;
// A long-frame header with any length word, impossible ones included.
QByteArray longHeader(quint32 type, quint32 msg, qint32 length);
// An outbound long frame: 8-byte header, then data, always 264 bytes.
QByteArray outLong(quint32 type, quint32 msg, const QByteArray &data);
// What the dispatcher is handed for a frame: its first 268 bytes, zero-filled.
QByteArray mcuRecord(const QByteArray &frame);
// n bytes, none zero, that do not repeat every power of two.
QByteArray pattern(int n, int seed = 0);

#endif
