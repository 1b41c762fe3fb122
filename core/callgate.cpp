#include "core/callgate.h"

#include <QDeadlineTimer>

bool CallGate::Waiter::isCancelled()
{
    QMutexLocker lock(&m_mutex);
    return m_cancelled;
}

void CallGate::Waiter::cancel()
{
    QMutexLocker lock(&m_mutex);
    m_cancelled = true;
    m_cond.wakeAll();
}

void CallGate::Waiter::finish(const std::function<void()> &store)
{
    QMutexLocker lock(&m_mutex);
    if (m_cancelled)
        return;
    store();
    m_done = true;
    m_cond.wakeAll();
}

bool CallGate::Waiter::wait(int timeoutMs)
{
    QMutexLocker lock(&m_mutex);
    QDeadlineTimer deadline(timeoutMs);
    while (!m_done && !m_cancelled) {
        if (!m_cond.wait(&m_mutex, deadline))
            break;
    }
    // From here on a late answer is dropped.
    m_cancelled = m_cancelled || !m_done;
    return m_done;
}

bool CallGate::enter(const std::shared_ptr<Waiter> &w)
{
    QMutexLocker lock(&m_mutex);
    if (m_closed)
        return false;
    m_waiting.insert(w.get());
    return true;
}

void CallGate::leave(const std::shared_ptr<Waiter> &w)
{
    QMutexLocker lock(&m_mutex);
    m_waiting.remove(w.get());
}

void CallGate::close()
{
    QMutexLocker lock(&m_mutex);
    m_closed = true;
    for (Waiter *w : qAsConst(m_waiting))
        w->cancel();
}
