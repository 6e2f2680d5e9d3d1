// ThreadSanitizer builds only: makes QMutex visible to TSan.
//
// Qt is not instrumented, so TSan never sees a QMutex being taken or released
// and reports every access guarded by one as a race. QMutexLocker calls the
// out-of-line QMutex::lock()/unlock() through the PLT, so this executable's
// definitions take their place: they forward to Qt's and tell TSan about the
// acquire and the release. Nothing built here calls tryLock.

#include <QMutex>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

template<typename Fn>
static Fn qtMutexFunction(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qtLock = qtMutexFunction<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    qtLock(this);
    __tsan_acquire(this);
}

void QMutex::unlock() noexcept
{
    static const auto qtUnlock = qtMutexFunction<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    qtUnlock(this);
}
