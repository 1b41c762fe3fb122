#include "gateways/journal.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
QAtomicInt g_connections;

// SQLite's answers for a file that is not a database or is damaged; only
// these make us move a file aside (a locked or unreadable file is left alone).
bool isDamaged(const QSqlError &e)
{
    const QString code = e.nativeErrorCode();
    return code == QLatin1String("26") || code == QLatin1String("11");
}
} // namespace

// Runs the WAL checkpoints of one journal file on a connection of its own,
// a little after commits were made. With SQLite's automatic checkpoint the
// commit that crossed the WAL's threshold copied the pages back and waited
// for the fsync in the owner's thread: tens of milliseconds every second or
// so under load, the whole p99 of MQTT delivery. A passive checkpoint never
// blocks the writer.
class JournalCheckpointer
{
public:
    explicit JournalCheckpointer(const QString &file) : m_file(file)
    {
        m_thread = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(m_lock);
        m_cv.wait(lock, [this] { return m_ready; });
    }
    ~JournalCheckpointer()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    // Whether its connection opened; without it the owner keeps SQLite's own checkpoints.
    bool isRunning() const { return m_opened; }
    // A commit was made.
    void poke()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_dirty)
            return;
        m_dirty = true;
        m_cv.notify_all();
    }

private:
    static constexpr int kGatherMs = 200; // commits gathered into one checkpoint

    void run()
    {
        static QAtomicInt s_next;
        const QString name = QStringLiteral("journal-checkpoint-%1").arg(s_next.fetchAndAddRelaxed(1));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_file);
            const bool opened = db.open();
            std::unique_lock<std::mutex> lock(m_lock);
            m_opened = opened;
            m_ready = true;
            m_cv.notify_all();
            while (opened && !m_stop) {
                m_cv.wait(lock, [this] { return m_stop || m_dirty; });
                m_cv.wait_for(lock, std::chrono::milliseconds(kGatherMs), [this] { return m_stop; });
                if (m_stop)
                    break;
                m_dirty = false;
                lock.unlock();
                QSqlQuery q(db);
                if (!q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")))
                    qWarning().noquote() << QStringLiteral("journal %1: checkpoint failed: %2")
                                                .arg(m_file, q.lastError().text());
                q.finish();
                lock.lock();
            }
            lock.unlock();
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

    const QString m_file;
    // m_lock guards the flags; the owner pokes and stops, the helper waits.
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_ready = false;
    bool m_opened = false;
    bool m_dirty = false;
    bool m_stop = false;
    std::thread m_thread;
};

Journal::Journal()
    : m_connection(QStringLiteral("journal-%1").arg(g_connections.fetchAndAddRelaxed(1)))
{
}

void Journal::committed()
{
    if (m_checkpointer)
        m_checkpointer->poke();
}

Journal::~Journal()
{
    close();
}

void Journal::close()
{
    if (!m_open)
        return;
    m_open = false;
    m_checkpointer.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool Journal::exec(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(sql))
        return true;
    qWarning().noquote() << QStringLiteral("journal %1: \"%2\" failed: %3").arg(m_path, sql, q.lastError().text());
    return false;
}

bool Journal::openFile(const QString &file)
{
    QSqlError error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            // WAL with normal syncing: a committed append survives the process
            // being killed; only a power cut may lose the last few commits.
            const bool ok = q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
                && q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
                && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS journal ("
                                         "id INTEGER PRIMARY KEY AUTOINCREMENT, payload BLOB NOT NULL)"))
                && q.exec(QStringLiteral("PRAGMA quick_check")) && q.next()
                && q.value(0).toString() == QLatin1String("ok");
            if (ok) {
                m_open = true;
                if (file != QLatin1String(":memory:")) {
                    m_checkpointer.reset(new JournalCheckpointer(file));
                    if (!m_checkpointer->isRunning() || !q.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")))
                        m_checkpointer.reset();
                }
                refreshTotals();
                return true;
            }
            error = q.lastError();
            if (!error.isValid())
                error = QSqlError(QStringLiteral("quick_check failed"), QString(), QSqlError::StatementError,
                                  QStringLiteral("11"));
        } else {
            error = db.lastError();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    qWarning().noquote() << QStringLiteral("journal %1: cannot be opened: %2").arg(file, error.text());
    m_lastOpenDamaged = isDamaged(error);
    return false;
}

bool Journal::open(const QString &path, const Caps &caps)
{
    close();
    m_path = path;
    m_caps = caps;
    m_dropped = 0;
    m_dropping = false;
    m_persistent = true;
    if (openFile(path))
        return true;
    if (m_lastOpenDamaged && QFile::exists(path)) {
        // What was in it cannot be read back; keep it for a person to look at
        // and go on with a fresh journal rather than with none.
        const QString aside = path + QStringLiteral(".corrupt-")
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
        const bool moved = QFile::rename(path, aside);
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
        qWarning().noquote() << QStringLiteral("journal %1: damaged file %2 %3; starting a new journal")
                                    .arg(path, moved ? QStringLiteral("moved to") : QStringLiteral("could not be moved to"), aside);
        if (moved && openFile(path))
            return true;
    }
    qWarning().noquote() << QStringLiteral("journal %1: keeping entries in memory only; they are lost at exit").arg(path);
    m_persistent = false;
    openFile(QStringLiteral(":memory:"));
    return false;
}

void Journal::refreshTotals()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(QStringLiteral("SELECT count(*), total(length(payload)) FROM journal")) && q.next()) {
        m_count = q.value(0).toInt();
        m_bytes = qint64(q.value(1).toDouble());
    } else {
        m_count = 0;
        m_bytes = 0;
    }
}

bool Journal::dropOldest(int needEntries, qint64 needBytes)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, length(payload) FROM journal ORDER BY id")))
        return false;
    qint64 lastId = 0;
    int entries = 0;
    qint64 bytes = 0;
    while ((entries < needEntries || bytes < needBytes) && q.next()) {
        lastId = q.value(0).toLongLong();
        bytes += q.value(1).toLongLong();
        ++entries;
    }
    q.finish();
    if (entries == 0)
        return true;
    QSqlQuery del(db);
    del.prepare(QStringLiteral("DELETE FROM journal WHERE id <= ?"));
    del.addBindValue(lastId);
    if (!del.exec())
        return false;
    if (!m_dropping) {
        m_dropping = true;
        qWarning().noquote() << QStringLiteral("journal %1: full (%2 entries, %3 bytes; cap %4 entries, %5 bytes): "
                                               "dropping the oldest entries until it has room again")
                                    .arg(m_path).arg(m_count).arg(m_bytes).arg(m_caps.maxEntries).arg(m_caps.maxBytes);
    }
    m_count -= entries;
    m_bytes -= bytes;
    m_dropped += entries;
    return true;
}

qint64 Journal::append(const QByteArray &payload)
{
    if (!m_open)
        return 0;
    if (payload.size() > m_caps.maxBytes) {
        qWarning().noquote() << QStringLiteral("journal %1: entry of %2 bytes refused: larger than the cap of %3 bytes")
                                    .arg(m_path).arg(payload.size()).arg(m_caps.maxBytes);
        return 0;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const int needEntries = m_count + 1 - m_caps.maxEntries;
    const qint64 needBytes = m_bytes + payload.size() - m_caps.maxBytes;
    const bool full = needEntries > 0 || needBytes > 0;
    // Dropping and storing commit together, so a kill between them loses nothing.
    if (full && !db.transaction())
        return 0;
    const int countBefore = m_count;
    const qint64 bytesBefore = m_bytes;
    if (full && !dropOldest(needEntries, needBytes)) {
        db.rollback();
        m_count = countBefore;
        m_bytes = bytesBefore;
        return 0;
    }
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO journal (payload) VALUES (?)"));
    q.addBindValue(payload);
    if (!q.exec() || (full && !db.commit())) {
        qWarning().noquote() << QStringLiteral("journal %1: entry of %2 bytes not stored: %3")
                                    .arg(m_path).arg(payload.size()).arg(q.lastError().text());
        if (full)
            db.rollback();
        refreshTotals();
        return 0;
    }
    ++m_count;
    m_bytes += payload.size();
    committed();
    return q.lastInsertId().toLongLong();
}

QList<qint64> Journal::append(const QList<QByteArray> &payloads)
{
    const auto none = [&payloads] { return QVector<qint64>(payloads.size(), 0).toList(); };
    if (!m_open || payloads.isEmpty())
        return none();
    // The payloads that fit under the byte cap at all, and what they need.
    QVector<int> kept;
    kept.reserve(payloads.size());
    qint64 keptBytes = 0;
    for (int i = 0; i < payloads.size(); ++i) {
        if (payloads.at(i).size() > m_caps.maxBytes) {
            qWarning().noquote() << QStringLiteral("journal %1: entry of %2 bytes refused: larger than the cap of "
                                                   "%3 bytes")
                                        .arg(m_path).arg(payloads.at(i).size()).arg(m_caps.maxBytes);
            continue;
        }
        kept.append(i);
        keptBytes += payloads.at(i).size();
    }
    // A batch larger than the caps themselves pushes out entries of its
    // own: that rare case goes one entry at a time.
    if (kept.size() > m_caps.maxEntries || keptBytes > m_caps.maxBytes)
        return appendEach(payloads);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One commit for all, dropping included, so a kill loses none of them.
    if (!db.transaction()) {
        qWarning().noquote() << QStringLiteral("journal %1: %2 entries not stored: %3")
                                    .arg(m_path).arg(payloads.size()).arg(db.lastError().text());
        return none();
    }
    const int countBefore = m_count;
    const qint64 bytesBefore = m_bytes;
    const qint64 droppedBefore = m_dropped;
    QList<qint64> ids = none();
    // The oldest entries that must go for the whole batch: the same ones
    // that dropping before each entry would remove.
    const int needEntries = m_count + kept.size() - m_caps.maxEntries;
    const qint64 needBytes = m_bytes + keptBytes - m_caps.maxBytes;
    bool ok = (needEntries <= 0 && needBytes <= 0) || dropOldest(needEntries, needBytes);
    QSqlQuery q(db);
    // Many rows per statement: a statement per entry cost more than the
    // entry's bytes in the file. RETURNING gives each row's id.
    constexpr int kRowsPerStatement = 100;
    for (int at = 0; ok && at < kept.size(); at += kRowsPerStatement) {
        const int n = qMin(kRowsPerStatement, kept.size() - at);
        QString sql = QStringLiteral("INSERT INTO journal (payload) VALUES (?)");
        sql.reserve(sql.size() + 4 * n + 16);
        for (int j = 1; j < n; ++j)
            sql += QLatin1String(",(?)");
        sql += QLatin1String(" RETURNING id");
        ok = q.prepare(sql);
        for (int j = 0; ok && j < n; ++j)
            q.addBindValue(payloads.at(kept.at(at + j)));
        ok = ok && q.exec();
        // RETURNING promises no order; the ids rise in the order of the
        // values (AUTOINCREMENT, one connection), so sorted they match.
        QVector<qint64> got;
        got.reserve(n);
        while (ok && q.next())
            got.append(q.value(0).toLongLong());
        ok = ok && got.size() == n;
        std::sort(got.begin(), got.end());
        for (int j = 0; ok && j < n; ++j)
            ids[kept.at(at + j)] = got.at(j);
        q.finish();
    }
    if (ok && db.commit()) {
        m_count += kept.size();
        m_bytes += keptBytes;
        committed();
        return ids;
    }
    rollBack(db, payloads.size(), q.lastError().text(), countBefore, bytesBefore, droppedBefore);
    return none();
}

void Journal::rollBack(QSqlDatabase &db, int entries, const QString &error, int countBefore, qint64 bytesBefore,
                       qint64 droppedBefore)
{
    qWarning().noquote() << QStringLiteral("journal %1: %2 entries not stored: %3").arg(m_path).arg(entries).arg(error);
    db.rollback();
    m_count = countBefore;
    m_bytes = bytesBefore;
    m_dropped = droppedBefore;
    refreshTotals();
}

QList<qint64> Journal::appendEach(const QList<QByteArray> &payloads)
{
    const auto none = [&payloads] { return QVector<qint64>(payloads.size(), 0).toList(); };
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        qWarning().noquote() << QStringLiteral("journal %1: %2 entries not stored: %3")
                                    .arg(m_path).arg(payloads.size()).arg(db.lastError().text());
        return none();
    }
    QList<qint64> ids;
    const int countBefore = m_count;
    const qint64 bytesBefore = m_bytes;
    const qint64 droppedBefore = m_dropped;
    QSqlQuery q(db);
    bool ok = q.prepare(QStringLiteral("INSERT INTO journal (payload) VALUES (?)"));
    for (int i = 0; ok && i < payloads.size(); ++i) {
        const QByteArray &payload = payloads.at(i);
        if (payload.size() > m_caps.maxBytes) {
            ids.append(0); // logged by append()
            continue;
        }
        const int needEntries = m_count + 1 - m_caps.maxEntries;
        const qint64 needBytes = m_bytes + payload.size() - m_caps.maxBytes;
        if ((needEntries > 0 || needBytes > 0) && !dropOldest(needEntries, needBytes)) {
            ok = false;
            break;
        }
        q.addBindValue(payload);
        ok = q.exec();
        if (ok) {
            ++m_count;
            m_bytes += payload.size();
            ids.append(q.lastInsertId().toLongLong());
        }
    }
    if (ok && db.commit()) {
        committed();
        return ids;
    }
    rollBack(db, payloads.size(), q.lastError().text(), countBefore, bytesBefore, droppedBefore);
    return none();
}

QList<Journal::Entry> Journal::peek(int maxCount, qint64 maxBytes, qint64 afterId) const
{
    QList<Entry> out;
    if (!m_open || maxCount <= 0)
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, payload FROM journal WHERE id > ? ORDER BY id LIMIT ?"));
    q.addBindValue(afterId);
    q.addBindValue(maxCount);
    if (!q.exec()) {
        qWarning().noquote() << QStringLiteral("journal %1: read failed: %2").arg(m_path, q.lastError().text());
        return out;
    }
    qint64 bytes = 0;
    while (q.next()) {
        Entry e;
        e.id = q.value(0).toLongLong();
        e.payload = q.value(1).toByteArray();
        if (maxBytes >= 0 && !out.isEmpty() && bytes + e.payload.size() > maxBytes)
            break;
        bytes += e.payload.size();
        out.append(e);
    }
    return out;
}

int Journal::remove(const QList<qint64> &ids)
{
    if (!m_open || ids.isEmpty())
        return 0;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    db.transaction();
    QSqlQuery q(db);
    int removed = 0;
    qint64 bytes = 0;
    // Acknowledgements mostly come as one run of ids: then a range, else
    // one statement for all the ids (a JSON array bound as text), never a
    // statement per id. The count and bytes come from one aggregate rather
    // than a row back per entry.
    QVector<qint64> sorted = QVector<qint64>::fromList(ids);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    const bool range = sorted.last() - sorted.first() + 1 == sorted.size();
    QString where;
    QVariantList binds;
    if (range) {
        where = QStringLiteral("id BETWEEN ? AND ?");
        binds << sorted.first() << sorted.last();
    } else {
        QByteArray list = "[";
        for (qint64 id : qAsConst(sorted)) {
            if (list.size() > 1)
                list += ',';
            list += QByteArray::number(id);
        }
        list += ']';
        where = QStringLiteral("id IN (SELECT value FROM json_each(?))");
        binds << QString::fromLatin1(list);
    }
    q.prepare(QStringLiteral("SELECT count(*), total(length(payload)) FROM journal WHERE ") + where);
    for (const QVariant &b : qAsConst(binds))
        q.addBindValue(b);
    bool ok = q.exec() && q.next();
    if (ok) {
        removed = q.value(0).toInt();
        bytes = qint64(q.value(1).toDouble());
        q.finish();
        q.prepare(QStringLiteral("DELETE FROM journal WHERE ") + where);
        for (const QVariant &b : qAsConst(binds))
            q.addBindValue(b);
        ok = q.exec();
    }
    if (!ok) {
        removed = 0;
        bytes = 0;
        qWarning().noquote() << QStringLiteral("journal %1: removal of %2 entries failed: %3")
                                    .arg(m_path).arg(ids.size()).arg(q.lastError().text());
    }
    q.finish();
    if (!db.commit()) {
        qWarning().noquote() << QStringLiteral("journal %1: removal of %2 entries failed: %3")
                                    .arg(m_path).arg(ids.size()).arg(db.lastError().text());
        db.rollback();
        refreshTotals();
        return 0;
    }
    m_count -= removed;
    m_bytes -= bytes;
    committed();
    // The drop episode ends once the journal has real room again, so a
    // journal hovering at the cap logs one line, not one per delivery.
    if (m_dropping && m_count <= m_caps.maxEntries * 9 / 10 && m_bytes <= m_caps.maxBytes * 9 / 10)
        m_dropping = false;
    return removed;
}

void Journal::clear()
{
    if (!m_open)
        return;
    if (exec(QStringLiteral("DELETE FROM journal"))) {
        committed();
        m_count = 0;
        m_bytes = 0;
        m_dropping = false;
    }
}
