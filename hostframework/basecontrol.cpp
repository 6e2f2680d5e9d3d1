#include "basecontrol.h"

#include <QByteArray>
#include <QDate>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>

#include "hostframework.h"
#include "journal.h"
#include "journalcalls.h"

namespace {
QByteArray wholeFrame(const tag_MCUSRV_TO_MAIN_APP_T &frame)
{
    return QByteArray(reinterpret_cast<const char *>(&frame), sizeof frame);
}
} // namespace

BaseControl::BaseControl() = default;
BaseControl::~BaseControl() = default;

BaseControl *BaseControl::getInstance()
{
    static BaseControl *const instance = new BaseControl;
    return instance;
}

void BaseControl::changeMediaSrcSlot(int fromSrc, int toSrc)
{
    Journal::trace("BaseControl::changeMediaSrcSlot", fromSrc, toSrc);
}

void BaseControl::sendMcuKeyPressedSignal(int key, int state)
{
    Journal::trace(JournalCall::sendMcuKeyPressedSignal, key, state);
}

void BaseControl::ejectSlot()
{
    Journal::trace(JournalCall::ejectSlot);
}

namespace {
// The build date as yyyyMMdd.
QString buildDate()
{
    return QLocale::c()
        .toDate(QString::fromLatin1(__DATE__).simplified(), QStringLiteral("MMM d yyyy"))
        .toString(QStringLiteral("yyyyMMdd"));
}

// Read on the reader thread, set by tests on theirs.
struct DateVersion
{
    QMutex lock;
    QString text = buildDate();
};
Q_GLOBAL_STATIC(DateVersion, s_dateVersion)
} // namespace

void HostFramework::setDateVersion(const QString &version)
{
    QMutexLocker locker(&s_dateVersion->lock);
    s_dateVersion->text = version.isNull() ? buildDate() : version;
}

QString BaseControl::getDateVersion()
{
    Journal::trace(JournalCall::getDateVersion);
    QMutexLocker locker(&s_dateVersion->lock);
    return s_dateVersion->text;
}

void BaseControl::ReceiveKeyStudyMsgFromMcu(MCU_STEER_KEY_STUDY_DATA study)
{
    if (!Journal::isEnabled())
        return;
    const QByteArray bytes(reinterpret_cast<const char *>(study.studyBytes),
                           sizeof study.studyBytes);
    Journal::trace(JournalCall::ReceiveKeyStudyMsgFromMcu, bytes, int(study.studyValues[0]),
                   int(study.studyValues[1]), int(study.studyValues[2]), int(study.studyValues[3]),
                   int(study.studyValues[4]), int(study.studyValues[5]));
}

void BaseControl::RecevieMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame)
{
    if (Journal::isEnabled())
        Journal::trace(JournalCall::RecevieMsgFromMcu, wholeFrame(frame));
}

void BaseControl::RecevieSIMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame)
{
    if (Journal::isEnabled())
        Journal::trace(JournalCall::RecevieSIMMsgFromMcu, wholeFrame(frame));
}

void BaseControl::RecevieMCMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame)
{
    if (Journal::isEnabled())
        Journal::trace(JournalCall::RecevieMCMMsgFromMcu, wholeFrame(frame));
}

// The pointer is only valid during the call: the two bytes are copied.
void BaseControl::RecevieAutoTestFromMcu(int item, unsigned char *bytes)
{
    if (!Journal::isEnabled())
        return;
    const QByteArray head = bytes ? QByteArray(reinterpret_cast<const char *>(bytes), 2)
                                  : QByteArray();
    Journal::trace(JournalCall::RecevieAutoTestFromMcu, item, head);
}
