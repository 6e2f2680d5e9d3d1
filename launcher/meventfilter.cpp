#include "meventfilter.h"

#include <QDateTime>
#include <QDebug>
#include <QEvent>
#include <QKeyEvent>
#include <QSound>

#include "appdata.h"
#include "launcherconfig.h"
#include "setupstridconst.h"
#include "storedsetting.h"
#include "systemclock.h"

namespace {

QString beepFileForVolume(int vol)
{
    if (vol <= 10)
        return QStringLiteral(LAUNCHER_SOUND_DIR "/1.wav");
    if (vol <= 15)
        return QStringLiteral(LAUNCHER_SOUND_DIR "/2.wav");
    if (vol <= 20)
        return QStringLiteral(LAUNCHER_SOUND_DIR "/3.wav");
    if (vol <= 30)
        return QStringLiteral(LAUNCHER_SOUND_DIR "/4.wav");
    return QStringLiteral(LAUNCHER_SOUND_DIR "/5.wav");
}

} // namespace

MEventFilter *MEventFilter::pInst = nullptr;

MEventFilter *MEventFilter::GetInstance()
{
    if (!pInst)
        pInst = new MEventFilter(nullptr);
    return pInst;
}

void MEventFilter::DeleteInstance()
{
    if (!pInst)
        return;
    delete pInst;
    pInst = nullptr;
}

MEventFilter::MEventFilter(QObject *parent)
    : QObject(parent)
    // Loaded ahead of the first beep, so m_sound is never null.
    , m_sound(new QSound(QStringLiteral(LAUNCHER_SOUND_DIR "/1.wav"), this))
    // No volume yet: the first beep always chooses its file.
    , m_volBeep(-1)
{ }

MEventFilter::~MEventFilter() { }

bool MEventFilter::eventFilter(QObject *watched, QEvent *event)
{
    Q_UNUSED(watched);
    // Every event of the application passes here: reject the rest cheaply.
    if (event->type() != QEvent::KeyPress)
        return false;

    static qint64 s_beeptime = 0;
    const qint64 now = SystemClock::instance()->now().toMSecsSinceEpoch();
    // Unsigned, so a clock that went backwards lets the next key through.
    if (quint64(now) - quint64(s_beeptime) <= 120)
        return false;

    QKeyEvent *key = static_cast<QKeyEvent *>(event);
    if (key->key() == Qt::Key_Meta && key->text() == QLatin1String("beep")) {
        event->accept();
        playSound();
    }
    s_beeptime = now;
    return false;
}

void MEventFilter::playSound()
{
    // Never overlap or queue beeps.
    if (!m_sound->isFinished())
        return;
    if (!StoredSetting::readBool(SetupStrIdConst::setupSysBeep))
        return;
    if (!AppData::GetInstance()->AudioInitOK())
        return;

    const int vol = StoredSetting::readInt(SetupStrIdConst::setupAlterVolume);
    if (vol != m_volBeep) {
        m_volBeep = vol;
        // Later, not now: the old sound may still have work queued in the event loop.
        m_sound->deleteLater();
        m_sound = new QSound(beepFileForVolume(vol), this);
        qDebug() << "==================>>>>vol" << vol;
    }
    m_sound->play();
}
