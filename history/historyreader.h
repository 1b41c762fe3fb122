#pragma once
// History queries off the main thread: each runs on a small pool of its
// own with a read-only connection to the event log (WAL lets it read while
// the recorder writes), and its answer is handed back in the asker's thread.

#include "core/historyquery.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>

class HistoryReader : public QObject
{
    Q_OBJECT
public:
    // Queries waiting or running at one time; more are answered "busy".
    static constexpr int MaxPending = 16;

    explicit HistoryReader(const QString &path, QObject *parent = nullptr);
    // Waits for the queries under way.
    ~HistoryReader() override;

    // Checks q and runs it; done gets the page in the reader's thread (the asker's), unless
    // context is gone by then. A query that does not check out is answered
    // at once, with the reason in the page's error.
    void query(HistoryQuery q, QObject *context, std::function<void(const HistoryPage &)> done);

    // The same in the calling thread (the web console, benchmarks).
    static HistoryPage run(const QString &path, HistoryQuery q);

    QString path() const { return m_path; }
    qint64 served() const { return m_served.load(); }
    qint64 refused() const { return m_refused.load(); }

private:
    const QString m_path;
    QThreadPool m_pool;
    std::atomic_int m_pending{0};
    std::atomic<qint64> m_served{0};
    std::atomic<qint64> m_refused{0};
};
