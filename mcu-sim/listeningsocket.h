#ifndef LISTENINGSOCKET_H
#define LISTENINGSOCKET_H

#include <QByteArray>
#include <QObject>
#include <QString>

// A listening local stream socket; a socket file it made goes with it.
class ListeningSocket : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~ListeningSocket() override;

    // name: '@' for the abstract namespace, else a path, where only a socket
    // may be replaced: anything else there is someone's file.
    bool listen(const QByteArray &name, QString *error);

Q_SIGNALS:
    // A peer came; the receiver owns fd.
    void accepted(int fd);

private:
    void accept();

    int m_fd = -1;
    QByteArray m_path; // the socket file this process made
};

#endif
