#include "appdata.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutexLocker>
#include <QStandardPaths>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "journal.h"
#include "journalcalls.h"
#include "unixaddress.h"

namespace {

// The sound server's native socket, as its clients find it.
QString soundServerSocket()
{
    const QByteArray server = qgetenv("PULSE_SERVER");
    if (!server.isEmpty())
        return server.startsWith("unix:") ? QString::fromLocal8Bit(server.mid(5)) : QString();
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return QString::fromLocal8Bit(runtime) + QLatin1String("/pulse/native");
    return QStringLiteral("/run/user/%1/pulse/native").arg(getuid());
}

bool canConnect(const QString &path)
{
    const QByteArray p = QFile::encodeName(path);
    const UnixAddress addr(p.constData(), size_t(p.size()));
    if (!addr.isValid())
        return false;
    // Non-blocking: a server that takes no connections (its backlog full) is
    // not taking them, and must not hold up the caller.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, addr.address(), addr.length()) == 0;
    close(fd);
    return ok;
}

} // namespace

class AppData::Private
{
public:
    mutable QMutex lock;
    int curSource = SOURCE_ID_NONE;
    int lastSource = SOURCE_ID_NONE;
    int curAudioSource = SOURCE_ID_NONE;
    int lastAudioSource = SOURCE_ID_NONE;
    bool firstRun = true;
    short mcuType = 0;
    short tunerType = 0;
    QString uuid;
    bool mcuTimeSynced = false;

    // The sound server answer is kept for a second: a beep asks once per key.
    QString audioPath;
    bool audioOk = false;
    QDeadlineTimer audioValid {0};
};

AppData::AppData()
    : d(new Private)
{ }

AppData::~AppData()
{
    delete d;
}

AppData *AppData::GetInstance()
{
    static AppData *const instance = new AppData;
    return instance;
}

int AppData::curSource() const
{
    Journal::trace("AppData::curSource");
    QMutexLocker locker(&d->lock);
    return d->curSource;
}

void AppData::setCurSource(int src)
{
    {
        QMutexLocker locker(&d->lock);
        d->curSource = src;
    }
    Journal::trace(JournalCall::setCurSource, src);
}

int AppData::lastSource() const
{
    QMutexLocker locker(&d->lock);
    return d->lastSource;
}

void AppData::setLastSource(int src)
{
    {
        QMutexLocker locker(&d->lock);
        d->lastSource = src;
    }
    Journal::trace(JournalCall::setLastSource, src);
}

// Sources that play sound of their own and can own the audio channel.
bool AppData::isAudioSource(tag_SOURCE_ID_T src) const
{
    Journal::trace("AppData::isAudioSource", int(src));
    switch (src) {
    case SOURCE_ID_RADIO:
    case SOURCE_ID_DISC:
    case SOURCE_ID_USB_MUSIC:
    case SOURCE_ID_BT_MUSIC:
    case SOURCE_ID_AUX:
        return true;
    default:
        return false;
    }
}

// Audio sources the unit switches to straight away; AUX is left out because
// nothing tells whether a cable is plugged in.
bool AppData::isDirectSwitchAudioSrc(tag_SOURCE_ID_T src) const
{
    Journal::trace("AppData::isDirectSwitchAudioSrc", int(src));
    switch (src) {
    case SOURCE_ID_RADIO:
    case SOURCE_ID_DISC:
    case SOURCE_ID_USB_MUSIC:
    case SOURCE_ID_BT_MUSIC:
        return true;
    default:
        return false;
    }
}

void AppData::setIsFirstRun(bool firstRun)
{
    {
        QMutexLocker locker(&d->lock);
        d->firstRun = firstRun;
    }
    Journal::trace("AppData::setIsFirstRun", firstRun);
}

bool AppData::isFirstRun() const
{
    QMutexLocker locker(&d->lock);
    return d->firstRun;
}

int AppData::curAudioSource() const
{
    Journal::trace("AppData::curAudioSource");
    QMutexLocker locker(&d->lock);
    return d->curAudioSource;
}

void AppData::setCurAudioSource(int src)
{
    {
        QMutexLocker locker(&d->lock);
        d->curAudioSource = src;
    }
    Journal::trace("AppData::setCurAudioSource", src);
}

int AppData::lastAudioSource() const
{
    QMutexLocker locker(&d->lock);
    return d->lastAudioSource;
}

void AppData::setLastAudioSource(int src)
{
    {
        QMutexLocker locker(&d->lock);
        d->lastAudioSource = src;
    }
    Journal::trace("AppData::setLastAudioSource", src);
}

void AppData::setMcuType(short type)
{
    {
        QMutexLocker locker(&d->lock);
        d->mcuType = type;
    }
    Journal::trace(JournalCall::setMcuType, int(type));
}

short AppData::mcuType() const
{
    QMutexLocker locker(&d->lock);
    return d->mcuType;
}

void AppData::setTunerType(short type)
{
    {
        QMutexLocker locker(&d->lock);
        d->tunerType = type;
    }
    Journal::trace(JournalCall::setTunerType, int(type));
}

short AppData::tunerType() const
{
    QMutexLocker locker(&d->lock);
    return d->tunerType;
}

void AppData::setUUID(QString uuid)
{
    Journal::trace(JournalCall::setUUID, uuid);
    QMutexLocker locker(&d->lock);
    d->uuid = std::move(uuid);
}

QString AppData::uuid() const
{
    QMutexLocker locker(&d->lock);
    return d->uuid;
}

void AppData::setMcuTimeSynced(bool synced)
{
    {
        QMutexLocker locker(&d->lock);
        d->mcuTimeSynced = synced;
    }
    Journal::trace(JournalCall::setMcuTimeSynced, synced);
}

bool AppData::mcuTimeSynced() const
{
    QMutexLocker locker(&d->lock);
    return d->mcuTimeSynced;
}

// True only while a sound server takes connections: without one a played
// sound never finishes and every later beep would be skipped.
bool AppData::AudioInitOK() const
{
    const QString path = soundServerSocket();
    bool ok;
    bool known;
    {
        QMutexLocker locker(&d->lock);
        known = path == d->audioPath && !d->audioValid.hasExpired();
        ok = d->audioOk;
    }
    // Asked without the lock: the reader thread's calls must not wait for a
    // sound server.
    if (!known) {
        ok = canConnect(path);
        QMutexLocker locker(&d->lock);
        d->audioPath = path;
        d->audioOk = ok;
        d->audioValid.setRemainingTime(1000);
    }
    Journal::trace("AppData::AudioInitOK", ok);
    return ok;
}
