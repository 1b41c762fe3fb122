#pragma once
// Lets an HTTP connection thread ask the main thread for an answer and wait
// for it, without the deadlock that a plain blocking call risks at
// shutdown: closing the gate wakes every waiter (and turns away later
// callers) before the main thread waits for the connection threads to end.

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <optional>

class CallGate
{
public:
    // Runs fn in target's thread and waits for its result; empty when the
    // gate is closed or the answer took longer than timeoutMs. fn must
    // capture what it needs by value: it may run after the caller gave up.
    template<class R>
    std::optional<R> call(QObject *target, std::function<R()> fn, int timeoutMs = 10000)
    {
        auto result = std::make_shared<std::optional<R>>();
        auto waiter = std::make_shared<Waiter>();
        if (!enter(waiter))
            return std::nullopt;
        QMetaObject::invokeMethod(target, [waiter, result, fn] {
            if (waiter->isCancelled())
                return;
            R r = fn();
            waiter->finish([&] { *result = std::move(r); });
        }, Qt::QueuedConnection);
        const bool done = waiter->wait(timeoutMs);
        leave(waiter);
        if (!done)
            return std::nullopt;
        return *result;
    }

    // Fails every call waiting and every later one. Any thread.
    void close();

private:
    class Waiter
    {
    public:
        bool isCancelled();
        void cancel();
        // Stores the result under the lock unless the caller gave up.
        void finish(const std::function<void()> &store);
        bool wait(int timeoutMs);

    private:
        QMutex m_mutex;
        QWaitCondition m_cond;
        bool m_done = false;
        bool m_cancelled = false;
    };
    bool enter(const std::shared_ptr<Waiter> &w);
    void leave(const std::shared_ptr<Waiter> &w);

    QMutex m_mutex; // guards the two below; taken by callers and close()
    bool m_closed = false;
    QSet<Waiter *> m_waiting; // each held alive by its caller until leave()
};
