#include "history/historyreader.h"

#include "history/historystore.h"

#include <QDebug>
#include <QFile>
#include <QRunnable>

HistoryReader::HistoryReader(const QString &path, QObject *parent) : QObject(parent), m_path(path)
{
    // Two at a time: the machine has other work, and a long text search must
    // not take every core.
    m_pool.setMaxThreadCount(2);
    m_pool.setExpiryTimeout(30000);
}

HistoryReader::~HistoryReader()
{
    m_pool.waitForDone();
}

HistoryPage HistoryReader::run(const QString &path, HistoryQuery q)
{
    HistoryPage page;
    page.error = q.normalise();
    if (!page.error.isEmpty())
        return page;
    if (!QFile::exists(path))
        return page; // nothing recorded yet: an empty answer
    static std::atomic_int serial{0};
    HistoryStore store(QStringLiteral("history-reader-%1").arg(++serial));
    if (!store.open(path, true)) {
        page.error = QStringLiteral("the event log cannot be opened: ") + store.lastError();
        return page;
    }
    return store.query(q);
}

void HistoryReader::query(HistoryQuery q, QObject *context, std::function<void(const HistoryPage &)> done)
{
    HistoryPage refusal;
    refusal.error = q.normalise();
    if (refusal.error.isEmpty() && m_pending.fetch_add(1) >= MaxPending) {
        m_pending.fetch_sub(1);
        refusal.error = QStringLiteral("busy: %1 history queries are under way, ask again later").arg(MaxPending);
    }
    if (!refusal.error.isEmpty()) {
        m_refused.fetch_add(1);
        qWarning().noquote() << "history: query refused:" << refusal.error;
        done(refusal);
        return;
    }
    QPointer<QObject> target(context);
    m_pool.start(QRunnable::create([this, q, target, done]() {
        const HistoryPage page = run(m_path, q);
        if (!page.error.isEmpty())
            qWarning().noquote() << "history: query failed:" << page.error;
        m_served.fetch_add(1);
        m_pending.fetch_sub(1);
        // Through the reader, which outlives its pool: whether the asker
        // is still there is decided in its own thread.
        QMetaObject::invokeMethod(this, [target, done, page]() {
            if (target)
                done(page);
        }, Qt::QueuedConnection);
    }));
}
