#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QStringList>
#include <QVector>

// Keeps the Qt messages of one type, from any thread, while the object lives;
// other messages go on to the handler that was installed before.
class MessageCapture
{
public:
    explicit MessageCapture(QtMsgType type = QtDebugMsg);
    ~MessageCapture();

    // The texts kept so far, and forgets them.
    QStringList take();
    QStringList lines() const;
    // How many journal entries there were when line i was written.
    int journalSizeAt(int i) const;

private:
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;
};

#endif
