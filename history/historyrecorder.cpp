#include "history/historyrecorder.h"

#include "history/historystore.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <chrono>

namespace {
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
}

qint64 HistoryRecorder::steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

HistoryRecorder::HistoryRecorder(const Options &options) : m_options(options)
{
}

HistoryRecorder::~HistoryRecorder()
{
    stop();
}

void HistoryRecorder::start()
{
    if (m_thread)
        return;
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("history"));
    m_thread->start();
}

void HistoryRecorder::stop(int flushMs)
{
    if (!m_thread)
        return;
    {
        QMutexLocker l(&m_lock);
        m_stop = true;
        m_flushMs = flushMs;
        m_wake.wakeAll();
    }
    // Not bounded here: the writer ends by itself once everything is
    // written, or flushMs after the log stopped taking it (a single
    // statement waits at most the busy time-out).
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
}

void HistoryRecorder::record(const CEvent &e, const QString &controllerName)
{
    Pending p;
    p.event = e;
    p.controller = controllerName;
    // Formatting a time per event costs more than the rest of the hand-over;
    // the writer does it for the few events whose own time is no good.
    p.receivedMs = QDateTime::currentMSecsSinceEpoch();
    p.handedNs = steadyNs();
    push(std::move(p));
}

void HistoryRecorder::recordNotice(const QString &action, const QString &text)
{
    Pending p;
    p.ready = HistoryRecord::notice(action, text, nowText());
    p.isNotice = true;
    p.handedNs = steadyNs();
    push(std::move(p));
}

void HistoryRecorder::push(Pending &&p)
{
    QMutexLocker l(&m_lock);
    // The newest events say what the site is doing now; the oldest of a
    // long outage are the ones given up. (What the writer is trying to
    // write meanwhile is bounded when it comes back, in putBack.)
    if (int(m_queue.size()) >= m_options.maxBacklog)
        dropOldest(1);
    m_queue.push_back(std::move(p));
    if (m_writerIdle) {
        m_writerIdle = false;
        m_wake.wakeOne();
    }
}

void HistoryRecorder::dropOldest(int n)
{
    for (int i = 0; i < n && !m_queue.empty(); ++i) {
        m_queue.pop_front();
        m_dropped.fetch_add(1);
    }
    if (!m_dropLogged) {
        m_dropLogged = true;
        qWarning().noquote() << QStringLiteral("history: %1 events wait for %2; the oldest are dropped from now on "
                                               "(counted in fireserver_history_dropped_total)")
                                    .arg(m_options.maxBacklog).arg(m_options.path);
    }
}

HistoryRecorder::Counters HistoryRecorder::counters() const
{
    Counters c;
    c.written = m_written.load();
    c.dropped = m_dropped.load();
    c.failedWrites = m_failedWrites.load();
    c.episodes = m_episodes.load();
    c.removed = m_removed.load();
    c.lost = m_lost.load();
    QMutexLocker l(&m_lock);
    c.waiting = int(m_queue.size()) + m_inFlight.load();
    return c;
}

void HistoryRecorder::requestRetention()
{
    QMutexLocker l(&m_lock);
    m_retentionDue = true;
    m_wake.wakeAll();
}

void HistoryRecorder::run()
{
    HistoryStore store(QStringLiteral("history-writer"));
    QDeadlineTimer nextRetention(m_options.retentionPeriodMs);
    QDeadlineTimer retryAt;
    QDeadlineTimer giveUpAt(QDeadlineTimer::Forever);
    std::deque<Pending> batch;
    for (;;) {
        bool stopping = false;
        bool retentionDue = false;
        {
            QMutexLocker l(&m_lock);
            while (!m_stop) {
                if (nextRetention.hasExpired()) {
                    m_retentionDue = true;
                    nextRetention.setRemainingTime(m_options.retentionPeriodMs);
                }
                QDeadlineTimer until = nextRetention;
                if (m_failing && !retryAt.hasExpired())
                    until = qMin(retryAt, nextRetention);
                else if (!m_queue.empty() || m_retentionDue)
                    break;
                // Asleep until an event comes, the retention is due or the
                // next try of a failing log.
                m_writerIdle = true;
                m_wake.wait(&m_lock, until);
                m_writerIdle = false;
            }
            stopping = m_stop;
            if (stopping && giveUpAt.isForever())
                giveUpAt.setRemainingTime(m_flushMs);
            batch.swap(m_queue);
            m_inFlight.store(int(batch.size()));
            if (int(m_queue.size()) + int(batch.size()) < m_options.maxBacklog / 2)
                m_dropLogged = false;
            retentionDue = m_retentionDue;
        }
        if (!batch.empty()) {
            const bool ok = ensureOpen(store) && write(store, batch);
            if (!ok) {
                failed(store);
                retryAt.setRemainingTime(stopping ? qMin(m_options.retryMs, 100) : m_options.retryMs);
                putBack(batch);
                if (stopping && giveUpAt.hasExpired())
                    break;
                if (stopping)
                    QThread::msleep(quint32(qMin(m_options.retryMs, 100)));
                continue;
            }
            if (m_failing.exchange(false))
                qWarning().noquote() << QStringLiteral("history: %1 is written again after %2 s")
                                            .arg(m_options.path)
                                            .arg(double(steadyNs() - m_failingSinceNs) / 1e9, 0, 'f', 1);
        }
        if (stopping) {
            QMutexLocker l(&m_lock);
            if (m_queue.empty())
                break;
            continue;
        }
        if (retentionDue) {
            if (ensureOpen(store)) {
                retention(store);
            } else {
                qWarning().noquote() << QStringLiteral("history: %1 cannot be opened for the removal of old rows "
                                                       "(%2); tried again with the next period")
                                            .arg(m_options.path, store.lastError());
                QMutexLocker l(&m_lock);
                m_retentionDue = false;
            }
        }
    }
    {
        QMutexLocker l(&m_lock);
        m_lost.fetch_add(qint64(m_queue.size()));
        if (!m_queue.empty())
            qCritical().noquote() << QStringLiteral("history: %1 events could not be written to %2 before the "
                                                    "exit (%3)")
                                         .arg(m_queue.size()).arg(m_options.path, store.lastError());
        m_queue.clear();
    }
    store.close();
}

void HistoryRecorder::putBack(std::deque<Pending> &batch)
{
    QMutexLocker l(&m_lock);
    // What failed goes before what came meanwhile, within the bound.
    while (!batch.empty()) {
        m_queue.push_front(std::move(batch.back()));
        batch.pop_back();
    }
    m_inFlight.store(0);
    if (int(m_queue.size()) > m_options.maxBacklog)
        dropOldest(int(m_queue.size()) - m_options.maxBacklog);
}

bool HistoryRecorder::ensureOpen(HistoryStore &store)
{
    if (m_open)
        return true;
    m_open = store.open(m_options.path, false) && store.prepareSchema();
    if (!m_open)
        store.close();
    return m_open;
}

void HistoryRecorder::failed(HistoryStore &store)
{
    m_failedWrites.fetch_add(1);
    if (!m_failing.exchange(true)) {
        m_episodes.fetch_add(1);
        m_failingSinceNs = steadyNs();
        qWarning().noquote() << QStringLiteral("history: cannot write %1 (%2); events wait in memory (at most %3, "
                                               "then the oldest are dropped) and are written when it works again")
                                    .arg(m_options.path, store.lastError()).arg(m_options.maxBacklog);
    }
    // A file that was read-only or locked may be fine by the next try; a
    // connection that saw it so stays so, hence a fresh one.
    store.close();
    m_open = false;
}

bool HistoryRecorder::write(HistoryStore &store, std::deque<Pending> &batch)
{
    std::vector<qint64> handed;
    while (!batch.empty()) {
        if (!store.begin())
            return false;
        QElapsedTimer transaction;
        transaction.start();
        size_t n = 0;
        for (; n < batch.size() && (n % 64 != 0 || transaction.elapsed() < m_options.transactionMs); ++n) {
            const Pending &p = batch[n];
            const HistoryRecord r =
                p.isNotice ? p.ready
                           : HistoryRecord::fromEvent(p.event, p.controller, [&p] {
                                 return QDateTime::fromMSecsSinceEpoch(p.receivedMs).toString(kTimeFormat);
                             });
            if (!store.insert(r)) {
                store.rollback();
                return false;
            }
        }
        if (!store.commit()) {
            store.rollback();
            return false;
        }
        const qint64 committed = steadyNs();
        if (m_options.onCommitted) {
            handed.clear();
            for (size_t i = 0; i < n; ++i)
                handed.push_back(batch[i].handedNs);
            m_options.onCommitted(handed, committed);
        }
        batch.erase(batch.begin(), batch.begin() + qint64(n));
        m_written.fetch_add(qint64(n));
        m_inFlight.fetch_sub(int(n));
    }
    return true;
}

void HistoryRecorder::retention(HistoryStore &store)
{
    const QString cutoff = m_options.now().addDays(-m_options.keepDays).toString(kTimeFormat);
    const int removed = store.removeOlderThan(cutoff, m_options.retentionBatch);
    if (removed < 0) {
        qWarning().noquote() << QStringLiteral("history: old rows of %1 cannot be removed (%2); tried again "
                                               "with the next period")
                                    .arg(m_options.path, store.lastError());
    } else {
        m_removed.fetch_add(removed);
        m_retentionRun += removed;
        if (removed == m_options.retentionBatch)
            return; // more to go, one batch per pass so events are not held up
        if (m_retentionRun > 0)
            qDebug().noquote() << QStringLiteral("history: %1 rows before %2 removed from %3")
                                      .arg(m_retentionRun).arg(cutoff, m_options.path);
    }
    m_retentionRun = 0;
    QMutexLocker l(&m_lock);
    m_retentionDue = false;
}
