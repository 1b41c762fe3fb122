#pragma once
// Store-and-forward journal for what leaves the machine: a payload is
// appended (and committed) before its send is attempted and removed only
// when its delivery was acknowledged, so a restart, clean or killed, still
// has everything that was waiting, oldest first. Bounded: past the cap the
// oldest entries are dropped, with one log line per episode.
//
// One SQLite file per service (WAL journal mode: a commit survives the
// process being killed at any point). Each Journal has its own connection,
// so several may live beside the settings database's default connection.
// A Journal is used only from the thread that opened it; the WAL is copied
// back into the file (with its fsync) by a helper thread of the journal's
// own, so a commit never waits for the disk.

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QSqlDatabase;

class JournalCheckpointer;

// Bounds of one journal; beyond either the oldest entries go.
struct JournalCaps
{
    int maxEntries = 100000;
    qint64 maxBytes = 50 * 1024 * 1024; // payload bytes
};

class Journal
{
public:
    using Caps = JournalCaps;

    struct Entry
    {
        qint64 id = 0; // ascending in append order, never reused within a file
        QByteArray payload;
    };

    Journal();
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens (or creates) the file. A file that is not a journal, or cannot be
    // opened, is logged; an unreadable one is moved aside to
    // "<path>.corrupt-<time>" and a fresh file started, and where no file can
    // be had the journal runs in memory, so the service still queues while
    // it runs. Returns false only in that last case.
    bool open(const QString &path, const Caps &caps = Caps());
    void close();
    bool isOpen() const { return m_open; }
    bool isPersistent() const { return m_persistent; }
    QString path() const { return m_path; }

    // Stores one payload and returns its id (0 when the write failed, which
    // is logged). Makes room first by dropping the oldest entries when the
    // cap would be passed; a payload larger than the whole byte cap is
    // refused.
    qint64 append(const QByteArray &payload);
    // Stores several payloads in one transaction, far cheaper than one
    // append each. Returns their ids in order, 0 for a refused oversized one;
    // all 0 when the write failed (logged).
    QList<qint64> append(const QList<QByteArray> &payloads);
    // The oldest entries, at most maxCount (and at most maxBytes of payload,
    // but always at least one), in append order. With afterId, only entries
    // newer than that id: a sender that keeps several batches in flight
    // reads on past the ones still awaiting their acknowledgement.
    QList<Entry> peek(int maxCount, qint64 maxBytes = -1, qint64 afterId = 0) const;
    // Forgets the given ids (acknowledged deliveries); ids already gone are
    // ignored. Returns how many were removed.
    int remove(const QList<qint64> &ids);
    void clear();

    int count() const { return m_count; }
    qint64 bytes() const { return m_bytes; }
    // Entries dropped to the cap since open.
    qint64 droppedCount() const { return m_dropped; }

private:
    bool openFile(const QString &file);
    bool exec(const QString &sql);
    bool dropOldest(int needEntries, qint64 needBytes);
    // append() of a batch that alone exceeds a cap: room is made before each entry.
    QList<qint64> appendEach(const QList<QByteArray> &payloads);
    void refreshTotals();
    // A batch that failed: logged, undone, and the totals as they were.
    void rollBack(QSqlDatabase &db, int entries, const QString &error, int countBefore, qint64 bytesBefore,
                  qint64 droppedBefore);
    // After each commit: the helper copies the WAL back a little later.
    void committed();

    QString m_connection;
    std::unique_ptr<JournalCheckpointer> m_checkpointer; // set while a file (not memory) is open
    QString m_path;
    Caps m_caps;
    bool m_open = false;
    bool m_persistent = false;
    int m_count = 0;
    qint64 m_bytes = 0;
    qint64 m_dropped = 0;
    bool m_dropping = false; // within a drop episode: logged once, ends when below 90 % of the cap
    bool m_lastOpenDamaged = false;
};
