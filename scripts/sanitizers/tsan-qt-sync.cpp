// ThreadSanitizer build only (FIRE_SANITIZE=thread): Debian's Qt is not
// instrumented, so TSan cannot see Qt's locks, wait conditions, event queues
// and thread ends, and reports every access that they order as a race. This
// file, linked into every executable of that build, wraps the calls our code
// makes into those Qt primitives and tells TSan what they synchronise. It
// hides nothing else: an access that no lock, event or wait orders is still
// reported.
//
// Each wrapper calls Qt's own function (found with dlsym RTLD_NEXT) and adds
// the acquire/release TSan would have seen in an instrumented Qt:
// - QMutex and QBasicMutex: acquire after a lock, release before an unlock
//   (QMutexLocker calls the out-of-line QMutex::lock/unlock);
// - QWaitCondition: a wake releases, a wait releases the mutex and acquires
//   the condition and the mutex when it returns; QSemaphore the same;
// - events and queued calls: every emit, post or invoke releases one global
//   address, every event delivery (Qt's event-notify callback) acquires it;
// - threads: a QThread releases itself as it finishes (a direct connection
//   to finished, run in that thread), a wait, isFinished or isRunning that
//   saw it end acquires it.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

char g_events; // the address every event post releases and every delivery acquires

template<typename F>
F real(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f)
        qFatal("tsan-qt-sync: %s not found in Qt", name);
    return reinterpret_cast<F>(f);
}

bool eventDelivered(void **)
{
    __tsan_acquire(&g_events);
    return false; // deliver as usual
}

[[maybe_unused]] const bool g_registered = QInternal::registerCallback(QInternal::EventNotifyCallback, eventDelivered);

// Runs in each finishing thread. A connection by name, so that no slot
// object of ours is shared between that thread and the one deleting it.
class FinishReleaser : public QObject
{
    Q_OBJECT
public slots:
    void threadFinished()
    {
        __tsan_release(QThread::currentThread());
        __tsan_release(&g_events); // deleteLater of the thread object, queued just before
    }
};

FinishReleaser g_releaser;

void watchFinish(QThread *thread)
{
    QObject::connect(thread, SIGNAL(finished()), &g_releaser, SLOT(threadFinished()),
                     Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
}

// The slot object of a queued or blocking invokeMethod is reference-counted
// and freed by Qt in whichever thread drops the last reference, and a
// blocking call returns on Qt's own semaphore: this wrapper releases itself
// after the call and acquires itself before the free, which happens in the
// caller when a blocking call returns.
class SyncedSlot : public QtPrivate::QSlotObjectBase
{
public:
    explicit SyncedSlot(QtPrivate::QSlotObjectBase *inner) : QSlotObjectBase(&impl), m_inner(inner) {}

private:
    static void impl(int which, QSlotObjectBase *base, QObject *receiver, void **args, bool *ret)
    {
        auto *self = static_cast<SyncedSlot *>(base);
        switch (which) {
        case Destroy:
            __tsan_acquire(self);
            self->m_inner->destroyIfLastRef();
            delete self;
            break;
        case Call:
            self->m_inner->call(receiver, args);
            __tsan_release(self);
            break;
        case Compare:
            *ret = false;
            break;
        }
    }
    QtPrivate::QSlotObjectBase *m_inner;
};

} // namespace

#define REAL(type, name) static const auto f = real<type>(name)

extern "C" {

// --- mutexes
void _ZN6QMutex4lockEv(void *m)
{
    REAL(void (*)(void *), "_ZN6QMutex4lockEv");
    f(m);
    __tsan_acquire(m);
}
void _ZN6QMutex6unlockEv(void *m)
{
    REAL(void (*)(void *), "_ZN6QMutex6unlockEv");
    __tsan_release(m);
    f(m);
}
bool _ZN6QMutex7tryLockEi(void *m, int timeout)
{
    REAL(bool (*)(void *, int), "_ZN6QMutex7tryLockEi");
    const bool locked = f(m, timeout);
    if (locked)
        __tsan_acquire(m);
    return locked;
}
void _ZN11QBasicMutex12lockInternalEv(void *m)
{
    REAL(void (*)(void *), "_ZN11QBasicMutex12lockInternalEv");
    f(m);
    __tsan_acquire(m);
}
bool _ZN11QBasicMutex12lockInternalEi(void *m, int timeout)
{
    REAL(bool (*)(void *, int), "_ZN11QBasicMutex12lockInternalEi");
    const bool locked = f(m, timeout);
    if (locked)
        __tsan_acquire(m);
    return locked;
}
void _ZN11QBasicMutex14unlockInternalEv(void *m)
{
    REAL(void (*)(void *), "_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(m);
    f(m);
}

// --- wait conditions and semaphores
void _ZN14QWaitCondition7wakeOneEv(void *c)
{
    REAL(void (*)(void *), "_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(c);
    f(c);
}
void _ZN14QWaitCondition7wakeAllEv(void *c)
{
    REAL(void (*)(void *), "_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(c);
    f(c);
}
bool _ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer(void *c, void *m, QDeadlineTimer deadline)
{
    REAL(bool (*)(void *, void *, QDeadlineTimer), "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(m);
    const bool woken = f(c, m, deadline);
    __tsan_acquire(c);
    __tsan_acquire(m);
    return woken;
}
bool _ZN14QWaitCondition4waitEP6QMutexm(void *c, void *m, unsigned long ms)
{
    REAL(bool (*)(void *, void *, unsigned long), "_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(m);
    const bool woken = f(c, m, ms);
    __tsan_acquire(c);
    __tsan_acquire(m);
    return woken;
}
void _ZN10QSemaphore7releaseEi(void *s, int n)
{
    REAL(void (*)(void *, int), "_ZN10QSemaphore7releaseEi");
    __tsan_release(s);
    f(s, n);
}
void _ZN10QSemaphore7acquireEi(void *s, int n)
{
    REAL(void (*)(void *, int), "_ZN10QSemaphore7acquireEi");
    f(s, n);
    __tsan_acquire(s);
}
bool _ZN10QSemaphore10tryAcquireEi(void *s, int n)
{
    REAL(bool (*)(void *, int), "_ZN10QSemaphore10tryAcquireEi");
    const bool got = f(s, n);
    if (got)
        __tsan_acquire(s);
    return got;
}
bool _ZN10QSemaphore10tryAcquireEii(void *s, int n, int timeout)
{
    REAL(bool (*)(void *, int, int), "_ZN10QSemaphore10tryAcquireEii");
    const bool got = f(s, n, timeout);
    if (got)
        __tsan_acquire(s);
    return got;
}

// --- signals, posted events, queued calls
void _ZN11QMetaObject8activateEP7QObjectPKS_iPPv(void *sender, const void *meta, int index, void **argv)
{
    REAL(void (*)(void *, const void *, int, void **), "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(&g_events);
    f(sender, meta, index, argv);
}
void _ZN11QMetaObject8activateEP7QObjectiPPv(void *sender, int index, void **argv)
{
    REAL(void (*)(void *, int, void **), "_ZN11QMetaObject8activateEP7QObjectiPPv");
    __tsan_release(&g_events);
    f(sender, index, argv);
}
void _ZN11QMetaObject8activateEP7QObjectiiPPv(void *sender, int offset, int index, void **argv)
{
    REAL(void (*)(void *, int, int, void **), "_ZN11QMetaObject8activateEP7QObjectiiPPv");
    __tsan_release(&g_events);
    f(sender, offset, index, argv);
}
void _ZN16QCoreApplication9postEventEP7QObjectP6QEventi(void *receiver, void *event, int priority)
{
    REAL(void (*)(void *, void *, int), "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    __tsan_release(&g_events);
    f(receiver, event, priority);
}
bool _ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv(
    void *object, void *slot, int type, void *ret)
{
    REAL(bool (*)(void *, void *, int, void *),
         "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    auto *synced = new SyncedSlot(static_cast<QtPrivate::QSlotObjectBase *>(slot));
    __tsan_release(&g_events);
    return f(object, synced, type, ret);
}

// --- threads
void _ZN7QThreadC1EP7QObject(QThread *t, QObject *parent)
{
    REAL(void (*)(QThread *, QObject *), "_ZN7QThreadC1EP7QObject");
    f(t, parent);
    watchFinish(t);
}
void _ZN7QThreadC2EP7QObject(QThread *t, QObject *parent)
{
    REAL(void (*)(QThread *, QObject *), "_ZN7QThreadC2EP7QObject");
    f(t, parent);
    watchFinish(t);
}
bool _ZN7QThread4waitE14QDeadlineTimer(void *t, QDeadlineTimer deadline)
{
    REAL(bool (*)(void *, QDeadlineTimer), "_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = f(t, deadline);
    if (ended)
        __tsan_acquire(t);
    return ended;
}
bool _ZN7QThread4waitEm(void *t, unsigned long ms)
{
    REAL(bool (*)(void *, unsigned long), "_ZN7QThread4waitEm");
    const bool ended = f(t, ms);
    if (ended)
        __tsan_acquire(t);
    return ended;
}
bool _ZNK7QThread9isRunningEv(const void *t)
{
    REAL(bool (*)(const void *), "_ZNK7QThread9isRunningEv");
    const bool running = f(t);
    if (!running)
        __tsan_acquire(const_cast<void *>(t));
    return running;
}
// Connected again at the start, after the connections the owner made (such
// as finished to deleteLater), so the release follows what Qt does for them.
void _ZN7QThread5startENS_8PriorityE(QThread *t, int priority)
{
    REAL(void (*)(QThread *, int), "_ZN7QThread5startENS_8PriorityE");
    QObject::disconnect(t, SIGNAL(finished()), &g_releaser, SLOT(threadFinished()));
    watchFinish(t);
    f(t, priority);
}
// QThread::create builds its thread inside Qt, past the constructors above.
QThread *_ZN7QThread16createThreadImplEOSt6futureIvE(void *future)
{
    REAL(QThread *(*)(void *), "_ZN7QThread16createThreadImplEOSt6futureIvE");
    QThread *t = f(future);
    watchFinish(t);
    return t;
}
bool _ZNK7QThread10isFinishedEv(const void *t)
{
    REAL(bool (*)(const void *), "_ZNK7QThread10isFinishedEv");
    const bool ended = f(t);
    if (ended)
        __tsan_acquire(const_cast<void *>(t));
    return ended;
}

} // extern "C"

#include "tsan-qt-sync.moc"
