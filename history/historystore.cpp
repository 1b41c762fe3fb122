#include "history/historystore.h"

#include <QSqlError>
#include <QVariant>

const QString HistoryStore::Table = QStringLiteral("EventRecord");

namespace {
// What our own table holds beyond the query service's three columns.
const char *const kOwnColumns[] = {"panel", "class", "eventno", "code", "property", "raw"};

// The columns a row can fill, in the order of columnIndex().
const char *const kColumns[] = {"action", "content", "atime", "panel", "class", "eventno", "code", "property", "raw"};

int columnIndex(const QString &column)
{
    for (int i = 0; i < int(sizeof kColumns / sizeof *kColumns); ++i) {
        if (column == QLatin1String(kColumns[i]))
            return i;
    }
    return -1;
}

QVariant recordValue(const HistoryRecord &r, int column)
{
    switch (column) {
    case 0: return r.action;
    case 1: return r.content;
    case 2: return r.atime;
    case 3: return r.panel;
    case 4: return r.eventClass;
    case 5: return r.eventNo;
    case 6: return r.code;
    case 7: return r.property;
    case 8: return r.raw;
    default: return QVariant();
    }
}
} // namespace

HistoryStore::HistoryStore(const QString &connectionName) : m_name(connectionName)
{
}

HistoryStore::~HistoryStore()
{
    close();
}

bool HistoryStore::open(const QString &path, bool bReadOnly)
{
    close();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(path);
    // A locked database answers soon: the writer keeps its events and
    // tries again instead of stalling; a reader may wait a little longer.
    m_db.setConnectOptions(bReadOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000")
                                     : QStringLiteral("QSQLITE_BUSY_TIMEOUT=100"));
    if (!m_db.open())
        return fail(QStringLiteral("open"), m_db.lastError().text());
    return true;
}

void HistoryStore::close()
{
    delete m_insert;
    m_insert = nullptr;
    m_insertColumns.clear();
    m_insertIndexes.clear();
    m_columns.clear();
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
}

bool HistoryStore::exec(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql))
        return fail(sql.left(60), q.lastError().text());
    return true;
}

bool HistoryStore::fail(const QString &what, const QString &error)
{
    m_lastError = what + QStringLiteral(": ") + error;
    return false;
}

QStringList HistoryStore::columns()
{
    QStringList out;
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(Table))) {
        while (q.next())
            out << q.value(1).toString().toLower();
    }
    return out;
}

bool HistoryStore::prepareSchema()
{
    delete m_insert;
    m_insert = nullptr;
    // WAL: the query service and the history readers read while we write.
    // FULL: a committed event survives a power cut, at one sync per commit.
    if (!exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !exec(QStringLiteral("PRAGMA synchronous=FULL")))
        return false;
    m_columns = columns();
    if (m_columns.isEmpty()) {
        if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS EventRecord ("
                                 "id INTEGER PRIMARY KEY, action TEXT, content TEXT, atime TEXT, "
                                 "panel INTEGER, class INTEGER, eventno INTEGER, code TEXT, "
                                 "property INTEGER, raw TEXT)")))
            return false;
        m_columns = columns();
    }
    // The query service selects by atime, or by action and atime; the
    // history queries by panel or class within a range. An index on a
    // column the table lacks is not made.
    struct Index { const char *name; const char *column; };
    static const Index indexes[] = {
        {"EventRecord_atime", nullptr},
        {"EventRecord_action_atime", "action"},
        {"EventRecord_panel_atime", "panel"},
        {"EventRecord_class_atime", "class"},
    };
    if (!m_columns.contains(QLatin1String("atime")))
        return fail(QStringLiteral("schema"), QStringLiteral("table EventRecord has no column atime"));
    for (const Index &i : indexes) {
        if (i.column && !m_columns.contains(QLatin1String(i.column)))
            continue;
        const QString on = i.column ? QStringLiteral("%1, atime").arg(QLatin1String(i.column)) : QStringLiteral("atime");
        if (!exec(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON EventRecord (%2)").arg(QLatin1String(i.name), on)))
            return false;
    }
    m_insertColumns.clear();
    for (const QString &c : {QStringLiteral("action"), QStringLiteral("content"), QStringLiteral("atime")}) {
        if (m_columns.contains(c))
            m_insertColumns << c;
    }
    for (const char *c : kOwnColumns) {
        if (m_columns.contains(QLatin1String(c)))
            m_insertColumns << QLatin1String(c);
    }
    m_insertIndexes.clear();
    for (const QString &c : qAsConst(m_insertColumns))
        m_insertIndexes << columnIndex(c);
    m_insert = new QSqlQuery(m_db);
    QStringList marks;
    for (int i = 0; i < m_insertColumns.size(); ++i)
        marks << QStringLiteral("?");
    if (!m_insert->prepare(QStringLiteral("INSERT INTO EventRecord (%1) VALUES (%2)")
                               .arg(m_insertColumns.join(QLatin1Char(',')), marks.join(QLatin1Char(','))))) {
        const QString error = m_insert->lastError().text();
        delete m_insert;
        m_insert = nullptr;
        return fail(QStringLiteral("prepare insert"), error);
    }
    return true;
}

bool HistoryStore::begin()
{
    if (!m_db.transaction())
        return fail(QStringLiteral("begin"), m_db.lastError().text());
    return true;
}

bool HistoryStore::insert(const HistoryRecord &r)
{
    if (!m_insert)
        return fail(QStringLiteral("insert"), QStringLiteral("schema not prepared"));
    for (int i = 0; i < m_insertIndexes.size(); ++i)
        m_insert->bindValue(i, recordValue(r, m_insertIndexes.at(i)));
    if (!m_insert->exec())
        return fail(QStringLiteral("insert"), m_insert->lastError().text());
    return true;
}

bool HistoryStore::commit()
{
    if (!m_db.commit())
        return fail(QStringLiteral("commit"), m_db.lastError().text());
    return true;
}

void HistoryStore::rollback()
{
    m_db.rollback();
}

int HistoryStore::removeOlderThan(const QString &atime, int nBatch)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM EventRecord WHERE rowid IN "
                             "(SELECT rowid FROM EventRecord WHERE atime < ? ORDER BY atime LIMIT ?)"));
    q.addBindValue(atime);
    q.addBindValue(nBatch);
    if (!q.exec()) {
        fail(QStringLiteral("remove old rows"), q.lastError().text());
        return -1;
    }
    return q.numRowsAffected();
}

HistoryPage HistoryStore::query(const HistoryQuery &q)
{
    HistoryPage page;
    if (m_columns.isEmpty())
        m_columns = columns();
    if (m_columns.isEmpty()) {
        page.error = QStringLiteral("the event log has no table EventRecord");
        return page;
    }
    const bool own = m_columns.contains(QLatin1String("raw"));
    QString sql = QStringLiteral("SELECT rowid, action, content, atime%1 FROM EventRecord WHERE atime >= ? AND atime <= ?")
                      .arg(own ? QStringLiteral(", raw") : QString());
    QVariantList values{q.from, q.to};
    const auto filter = [&](const char *column, const QVariant &value) {
        if (!m_columns.contains(QLatin1String(column))) {
            page.error = QStringLiteral("the event log has no column %1 to filter on").arg(QLatin1String(column));
            return;
        }
        sql += QStringLiteral(" AND %1 = ?").arg(QLatin1String(column));
        values << value;
    };
    if (q.panel > 0)
        filter("panel", q.panel);
    if (q.eventClass > 0)
        filter("class", q.eventClass);
    if (!page.error.isEmpty())
        return page;
    if (!q.text.isEmpty()) {
        sql += QStringLiteral(" AND instr(content, ?) > 0");
        values << q.text;
    }
    QString afterTime;
    qint64 afterId = 0;
    if (q.cursorParts(&afterTime, &afterId)) {
        sql += QStringLiteral(" AND (atime < ? OR (atime = ? AND rowid < ?))");
        values << afterTime << afterTime << afterId;
    }
    // One row beyond the page tells whether another page follows.
    sql += QStringLiteral(" ORDER BY atime DESC, rowid DESC LIMIT ?");
    values << q.pageSize + 1;

    QSqlQuery s(m_db);
    s.setForwardOnly(true);
    s.prepare(sql);
    for (int i = 0; i < values.size(); ++i)
        s.bindValue(i, values.at(i));
    if (!s.exec()) {
        page.error = QStringLiteral("the event log cannot be read: ") + s.lastError().text();
        return page;
    }
    while (s.next()) {
        if (page.rows.size() == q.pageSize) {
            const HistoryRow &last = page.rows.last();
            page.nextCursor = HistoryQuery::makeCursor(last.atime, last.id);
            break;
        }
        HistoryRow row;
        row.id = s.value(0).toLongLong();
        row.action = s.value(1).toString();
        row.content = s.value(2).toString();
        row.atime = s.value(3).toString();
        if (own)
            row.event = HistoryText::eventFromJson(s.value(4).toString());
        row.event.strTime = row.atime;
        page.rows << row;
    }
    return page;
}
