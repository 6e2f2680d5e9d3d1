#include "messagecapture.h"

#include <QMutex>

#include "journal.h"

namespace {
QMutex s_lock;
QtMsgType s_type = QtDebugMsg;
QStringList s_lines;
QVector<int> s_journalSizes;
QtMessageHandler s_previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != s_type)
        return s_previous(type, context, text);
    const int journalSize = Journal::instance()->entries().size();
    QMutexLocker locker(&s_lock);
    s_lines << text;
    s_journalSizes << journalSize;
}
} // namespace

MessageCapture::MessageCapture(QtMsgType type)
{
    s_type = type;
    take();
    s_previous = qInstallMessageHandler(handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(s_previous);
}

QStringList MessageCapture::take()
{
    QMutexLocker locker(&s_lock);
    s_journalSizes.clear();
    return std::exchange(s_lines, QStringList());
}

QStringList MessageCapture::lines() const
{
    QMutexLocker locker(&s_lock);
    return s_lines;
}

int MessageCapture::journalSizeAt(int i) const
{
    QMutexLocker locker(&s_lock);
    return s_journalSizes.value(i, -1);
}
