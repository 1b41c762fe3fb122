#pragma once
// Writes the events it is handed into the event log, in a thread of its
// own, so that delivery never waits for the disk. Rows go in transactions
// of at most transactionMs. When the log cannot be written (disk full,
// locked, read-only) the events wait in memory, at most maxBacklog of them
// (twice that for a moment while a write is tried): past that the oldest
// are dropped, counted and logged once. The failure is logged once
// per episode and the write is tried again every retryMs. Old rows are
// removed in small batches every retentionPeriodMs. stop() writes what is
// waiting before it returns.

#include "core/cevent.h"
#include "history/historyrecord.h"

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <functional>
#include <vector>

class HistoryStore;

class HistoryRecorder
{
public:
    struct Options
    {
        QString path;                 // the event log file
        int keepDays = 400;           // rows older than this many days go
        int maxBacklog = 200000;      // events waiting in memory at most
        int transactionMs = 100;
        int retryMs = 1000;           // after a failed write
        qint64 retentionPeriodMs = 24LL * 3600 * 1000;
        int retentionBatch = 500;     // rows per delete
        // The clock of the retention's cut-off (tests move it).
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
        // Called in the writer's thread after each commit with the moments
        // (steady clock, ns) its events were handed over (benchmarks).
        std::function<void(const std::vector<qint64> &handedNs, qint64 committedNs)> onCommitted;
    };

    struct Counters
    {
        qint64 written = 0;
        qint64 dropped = 0;       // the backlog was full
        qint64 failedWrites = 0;  // attempts that failed
        qint64 episodes = 0;      // stretches of failure
        qint64 removed = 0;       // by the retention
        qint64 lost = 0;          // still unwritten when the stop gave up
        int waiting = 0;
    };

    explicit HistoryRecorder(const Options &options);
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder &) = delete;
    HistoryRecorder &operator=(const HistoryRecorder &) = delete;

    void start();
    // Writes what waits (trying for at most flushMs while it fails), then
    // ends the thread. What could not be written is logged as lost.
    void stop(int flushMs = 5000);

    // Any thread. Cheap: the row is made in the writer's thread.
    void record(const CEvent &e, const QString &controllerName);
    void recordNotice(const QString &action, const QString &text);

    Counters counters() const;
    bool isFailing() const { return m_failing.load(); }
    // The retention runs at the next pass instead of waiting for its period.
    void requestRetention();

    static qint64 steadyNs();

private:
    struct Pending
    {
        CEvent event;
        QString controller;
        qint64 receivedMs = 0;    // wall clock: dates an event without a valid time
        HistoryRecord ready;  // a notice, made already
        bool isNotice = false;
        qint64 handedNs = 0;
    };

    void push(Pending &&p);
    void run();
    // Writes batch from its front; what was committed is removed. False on failure.
    bool write(HistoryStore &store, std::deque<Pending> &batch);
    void putBack(std::deque<Pending> &batch);
    // Expects m_lock held.
    void dropOldest(int n);
    bool ensureOpen(HistoryStore &store);
    void failed(HistoryStore &store);
    void retention(HistoryStore &store);

    const Options m_options;
    QThread *m_thread = nullptr;

    mutable QMutex m_lock;          // guards everything down to m_retentionDue; any thread
    QWaitCondition m_wake;
    std::deque<Pending> m_queue;
    bool m_stop = false;
    bool m_writerIdle = false;      // the writer sleeps on m_wake
    bool m_retentionDue = true;     // the first pass cleans up
    bool m_dropLogged = false;      // this overflow was logged
    int m_flushMs = 5000;

    // Written by the writer (or under m_lock for dropped); read anywhere.
    std::atomic<qint64> m_written{0};
    std::atomic<qint64> m_dropped{0};
    std::atomic<qint64> m_failedWrites{0};
    std::atomic<qint64> m_episodes{0};
    std::atomic<qint64> m_removed{0};
    std::atomic<qint64> m_lost{0};
    std::atomic<bool> m_failing{false};
    std::atomic_int m_inFlight{0};  // taken by the writer, not yet committed
    // Writer's thread only.
    bool m_open = false;
    qint64 m_failingSinceNs = 0;
    qint64 m_retentionRun = 0;      // rows removed by the retention under way
};
