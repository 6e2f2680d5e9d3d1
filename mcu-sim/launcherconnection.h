#ifndef LAUNCHERCONNECTION_H
#define LAUNCHERCONNECTION_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include "listeningsocket.h"

class QSocketNotifier;

// Where the launcher connects: one connection at a time, a new one replacing
// the old, its bytes cut into the frames the launcher sends.
class LauncherConnection : public QObject
{
    Q_OBJECT
public:
    explicit LauncherConnection(QObject *parent = nullptr);
    ~LauncherConnection() override;

    bool listen(const QByteArray &name, QString *error) { return m_listener.listen(name, error); }
    bool isConnected() const { return m_fd >= 0; }
    // All of bytes, or false with error set; the connection stays until drop().
    bool write(const QByteArray &bytes, QString *error);
    int failedWrites() const { return m_failedWrites; }
    void drop(const QString &why);

Q_SIGNALS:
    void connected();
    // After each read, with the whole frames it completed, maybe none.
    void framesRead(const QVector<QByteArray> &frames);
    // incomplete: what was left of a frame the launcher had begun.
    void disconnected(const QString &why, const QByteArray &incomplete);

private:
    void accept(int fd);
    void read();

    ListeningSocket m_listener;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_inBuf;
    int m_failedWrites = 0;
};

#endif
