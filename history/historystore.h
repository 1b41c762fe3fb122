#pragma once
// The event log "EventRec.db", table "EventRecord": the columns the query
// service on port 2000 reads (action, content, atime) and ours for the
// history queries (panel, class, eventno, code, property, raw). One object
// is one database connection, used only in the thread that made it.
//
// A table someone else created is written as it is: only the columns it
// has are filled, and only missing indexes are added.

#include "core/historyquery.h"
#include "history/historyrecord.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

class HistoryStore
{
public:
    explicit HistoryStore(const QString &connectionName);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Read-write opens create the file; read-only ones never do.
    bool open(const QString &path, bool bReadOnly);
    void close();
    bool isOpen() const { return m_db.isOpen(); }
    // WAL mode, the table and the indexes when missing.
    bool prepareSchema();

    // One transaction; insert() between begin() and commit().
    bool begin();
    bool insert(const HistoryRecord &r);
    bool commit();
    void rollback();

    // Removes at most nBatch rows older than atime; the count, -1 on failure.
    int removeOlderThan(const QString &atime, int nBatch);

    // One page of the answer, newest first. The query must be normalised.
    HistoryPage query(const HistoryQuery &q);

    // The last failure, for the log.
    QString lastError() const { return m_lastError; }
    QSqlDatabase database() const { return m_db; }

    static const QString Table;

private:
    bool exec(const QString &sql);
    bool fail(const QString &what, const QString &error);
    QStringList columns();

    QString m_name;
    QSqlDatabase m_db;
    QStringList m_columns;      // of the table as it is
    QSqlQuery *m_insert = nullptr;
    QStringList m_insertColumns; // what m_insert fills, in order
    QList<int> m_insertIndexes;  // the same as indexes of the record's values
    QString m_lastError;
};
