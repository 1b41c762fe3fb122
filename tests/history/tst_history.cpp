// The event log as the recorder writes it and the history queries read it:
// a real SQLite file in a temporary directory, the recorder's own thread,
// its clock and periods shortened instead of waited for.

#include "common/testfiles.h"
#include "history/historyreader.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {
CEvent makeEvent(int panel, int eventClass, int number, int property, const QString &code, const QString &time,
                 const QString &name = QString())
{
    CEvent e;
    e.nCom = 1;
    e.nPanelID = quint8(panel);
    e.nPanelType = 22;
    e.nEventType = eventClass;
    e.nEventCode = 9000 + number; // the source's own code; the table's number is what counts
    e.nEventNo = number;
    e.strEventName = name;
    e.nEventProperty = property;
    e.nLoop = 2;
    e.nAddress = 7;
    e.strCode = code;
    e.strTime = time;
    return e;
}

// A second connection of the test's own to look at the file.
class Peek
{
public:
    explicit Peek(const QString &path)
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        m_db.setDatabaseName(path);
        m_db.open();
    }
    ~Peek()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    }
    QStringList rows(const QString &sql)
    {
        QStringList out;
        QSqlQuery q(m_db);
        if (!q.exec(sql))
            return {q.lastError().text()};
        while (q.next()) {
            QStringList cells;
            for (int i = 0; i < q.record().count(); ++i)
                cells << q.value(i).toString();
            out << cells.join(QLatin1Char('|'));
        }
        return out;
    }
    bool exec(const QString &sql) { return QSqlQuery(m_db).exec(sql); }
    QSqlDatabase &db() { return m_db; }

private:
    QSqlDatabase m_db;
};
} // namespace

class TestHistory : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;

    HistoryRecorder::Options options() const
    {
        HistoryRecorder::Options o;
        o.path = m_path;
        o.retryMs = 50;
        return o;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = m_dir->filePath(QStringLiteral("EventRec.db"));
    }

    // What the query service selects (action, content, atime) and what our
    // own queries filter on, for a fire alarm, a fault and its restore, a
    // disablement's end, a notice and an event with a broken time.
    void rowsCarryActionContentAndFilters()
    {
        HistoryRecorder r(options());
        r.start();
        r.record(makeEvent(1, 1, 1, 1, "00100503", "2026-12-01 10:00:00", QStringLiteral("报警")), QStringLiteral("一号主机"));
        r.record(makeEvent(1, 7, 7, 1, "00200714", "2026-12-01 10:00:05", QStringLiteral("设备故障")), QStringLiteral("一号主机"));
        r.record(makeEvent(1, 7, 7, 0, "00200714", "2026-12-01 10:00:09", QStringLiteral("设备故障恢复")), QStringLiteral("一号主机"));
        r.record(makeEvent(3, 8, 8, 0, "00300101", "2026-12-01 11:00:00", QStringLiteral("取消屏蔽")), QString());
        r.record(makeEvent(3, 17, 17, 1, QString(), "garbage", QStringLiteral("控制器通讯")), QString());
        r.recordNotice(QStringLiteral("连接"), QStringLiteral("客户端登录:demo"));
        QTRY_COMPARE(r.counters().written, qint64(6));

        Peek peek(m_path);
        const QStringList rows = peek.rows("select action, content, atime, panel, class, eventno, code, property "
                                           "from EventRecord order by id");
        QCOMPARE(rows.mid(0, 4), (QStringList{
            "火警|控制器1号(一号主机) 设备00100503 回路2 地址7 报警|2026-12-01 10:00:00|1|1|1|00100503|1",
            "故障|控制器1号(一号主机) 设备00200714 回路2 地址7 设备故障|2026-12-01 10:00:05|1|7|7|00200714|1",
            "恢复|控制器1号(一号主机) 设备00200714 回路2 地址7 设备故障恢复|2026-12-01 10:00:09|1|7|7|00200714|0",
            "取消屏蔽|控制器3号 设备00300101 回路2 地址7 取消屏蔽|2026-12-01 11:00:00|3|8|8|00300101|0"}));
        // A time the text comparison cannot order is replaced by the moment
        // the event arrived; a communication event is a connection.
        QVERIFY(rows.at(4).startsWith(QStringLiteral("连接|控制器3号 回路2 地址7 控制器通讯故障|") + QDate::currentDate().toString(Qt::ISODate)));
        QVERIFY(rows.at(5).startsWith(QStringLiteral("连接|客户端登录:demo|")));
        QCOMPARE(peek.rows("select name from sqlite_master where type = 'index' order by name"),
                 (QStringList{"EventRecord_action_atime", "EventRecord_atime", "EventRecord_class_atime",
                              "EventRecord_panel_atime"}));
        QCOMPARE(peek.rows("pragma journal_mode"), QStringList{"wal"});

        HistoryQuery q;
        q.from = q.to = QStringLiteral("2026-12-01");
        q.panel = 1;
        HistoryPage page = HistoryReader::run(m_path, q);
        QVERIFY2(page.error.isEmpty(), qPrintable(page.error));
        QCOMPARE(page.rows.size(), 3);
        QCOMPARE(page.rows.first().atime, QStringLiteral("2026-12-01 10:00:09")); // newest first
        QCOMPARE(page.rows.first().event.strCode, QStringLiteral("00200714"));
        QCOMPARE(page.rows.first().event.nEventNo, 7);
        QCOMPARE(page.rows.first().event.nEventCode, 9007);
        QCOMPARE(page.rows.first().event.strEventName, QStringLiteral("设备故障恢复"));
        q.panel = 0;
        q.eventClass = 8;
        QCOMPARE(HistoryReader::run(m_path, q).rows.value(0).action, QStringLiteral("取消屏蔽"));
        q.eventClass = 0;
        q.text = QStringLiteral("报警");
        QCOMPARE(HistoryReader::run(m_path, q).rows.size(), 1);
    }

    // Pages follow each other without a gap or a repeat, also through rows
    // of the same second; what a peer gets wrong is answered, not run.
    void pagesAndBadQueries()
    {
        HistoryRecorder r(options());
        r.start();
        for (int i = 0; i < 25; ++i)
            r.record(makeEvent(2, 1, 1, 1, QString::number(i), QStringLiteral("2026-12-02 08:00:%1").arg(i / 3, 2, 10, QLatin1Char('0'))), QString());
        QTRY_COMPARE(r.counters().written, qint64(25));
        HistoryQuery q;
        q.from = QStringLiteral("2026-12-02 00:00:00");
        q.to = QStringLiteral("2026-12-02");
        q.pageSize = 10;
        QStringList codes;
        int pages = 0;
        do {
            const HistoryPage page = HistoryReader::run(m_path, q);
            QVERIFY(page.error.isEmpty());
            for (const HistoryRow &row : page.rows)
                codes << row.event.strCode;
            q.cursor = page.nextCursor;
            ++pages;
        } while (!q.cursor.isEmpty() && pages < 10);
        QCOMPARE(pages, 3);
        QStringList expected;
        for (int i = 24; i >= 0; --i)
            expected << QString::number(i);
        QCOMPARE(codes, expected);

        const auto error = [this](void (*change)(HistoryQuery &)) {
            HistoryQuery bad;
            bad.from = bad.to = QStringLiteral("2026-12-02");
            change(bad);
            return HistoryReader::run(m_path, bad).error;
        };
        QVERIFY(error([](HistoryQuery &b) { b.from = QStringLiteral("yesterday"); }).contains("not yyyy-MM-dd"));
        QVERIFY(error([](HistoryQuery &b) { b.from = QStringLiteral("2026-12-03"); }).contains("is after"));
        QVERIFY(error([](HistoryQuery &b) { b.pageSize = 1000000; }).contains("more than 1000"));
        QVERIFY(error([](HistoryQuery &b) { b.cursor = QStringLiteral("x"); }).contains("cursor"));
        QVERIFY(error([](HistoryQuery &b) { b.panel = 300; }).contains("0..255"));
    }

    // A table another program made keeps its columns: ours are not added,
    // only its missing indexes, and a filter it cannot answer is refused.
    void foreignTableIsWrittenAsItIs()
    {
        {
            Peek peek(m_path);
            QVERIFY(peek.exec("create table EventRecord (action text, content text, atime text)"));
            QVERIFY(peek.exec("insert into EventRecord values ('火警', 'theirs', '2026-12-03 01:00:00')"));
        }
        HistoryRecorder r(options());
        r.start();
        r.record(makeEvent(4, 1, 1, 1, "0401", "2026-12-03 02:00:00", QStringLiteral("报警")), QString());
        QTRY_COMPARE(r.counters().written, qint64(1));
        r.stop();
        Peek peek(m_path);
        QCOMPARE(peek.rows("select group_concat(name) from pragma_table_info('EventRecord')"),
                 QStringList{"action,content,atime"});
        QCOMPARE(peek.rows("select action, atime from EventRecord order by atime"),
                 (QStringList{"火警|2026-12-03 01:00:00", "火警|2026-12-03 02:00:00"}));
        QCOMPARE(peek.rows("select count(*) from sqlite_master where type = 'index'"), QStringList{"2"});
        HistoryQuery q;
        q.from = q.to = QStringLiteral("2026-12-03");
        QCOMPARE(HistoryReader::run(m_path, q).rows.size(), 2);
        q.panel = 4;
        QVERIFY(HistoryReader::run(m_path, q).error.contains("no column panel"));
    }

    // A locked log: one warning for the episode, events wait in memory up
    // to the bound (the oldest dropped and counted), and all that waited is
    // written once the lock is gone, in order.
    void lockedLogKeepsABoundedBacklog()
    {
        HistoryRecorder::Options o = options();
        o.maxBacklog = 40;
        HistoryRecorder r(o);
        r.start();
        r.record(makeEvent(1, 1, 1, 1, "first", "2026-12-04 00:00:00"), QString());
        QTRY_COMPARE(r.counters().written, qint64(1));

        LogCapture log;
        auto peek = std::make_unique<Peek>(m_path);
        QVERIFY(peek->exec("begin exclusive"));
        for (int i = 0; i < 60; ++i)
            r.record(makeEvent(1, 1, 1, 1, QString::number(i), "2026-12-04 00:00:01"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(r.isFailing(), 10000);
        QTRY_COMPARE(r.counters().dropped, qint64(20));
        QTRY_COMPARE(r.counters().waiting, 40);
        QTRY_VERIFY(r.counters().failedWrites >= 3); // tried again, quietly
        QCOMPARE(log.count("history: cannot write"), 1);
        QCOMPARE(log.count("the oldest are dropped from now on"), 1);

        QVERIFY(peek->exec("rollback"));
        peek.reset();
        QTRY_COMPARE_WITH_TIMEOUT(r.counters().written, qint64(41), 10000);
        QTRY_COMPARE(log.count("is written again"), 1);
        QCOMPARE(r.counters().episodes, qint64(1));
        Peek after(m_path);
        QCOMPARE(after.rows("select code from EventRecord where id > 1 order by id").first(), QStringLiteral("20"));
        QCOMPARE(after.rows("select code from EventRecord order by id desc limit 1"), QStringList{"59"});
    }

    // Rows older than keepDays go, in batches, at the start and once per
    // period after; newer ones stay. The clock is the test's.
    void retentionByTheInjectedClock()
    {
        const QDateTime now(QDate(2026, 12, 5), QTime(12, 0));
        {
            HistoryStore seed(QStringLiteral("seed"));
            QVERIFY(seed.open(m_path, false));
            QVERIFY(seed.prepareSchema());
            QVERIFY(seed.begin());
            for (int days : {402, 401, 401, 399, 10}) {
                HistoryRecord rec = HistoryRecord::notice(QStringLiteral("火警"), QString::number(days),
                                                          now.addDays(-days).toString("yyyy-MM-dd hh:mm:ss"));
                QVERIFY(seed.insert(rec));
            }
            QVERIFY(seed.commit());
        }
        static std::atomic<qint64> offsetDays{0};
        offsetDays = 0;
        HistoryRecorder::Options o = options();
        o.retentionBatch = 2;
        o.retentionPeriodMs = 100;
        o.now = [now] { return now.addDays(offsetDays.load()); };
        HistoryRecorder r(o);
        r.start();
        QTRY_COMPARE(r.counters().removed, qint64(3));
        {
            Peek peek(m_path);
            QCOMPARE(peek.rows("select content from EventRecord order by atime"), (QStringList{"399", "10"}));
        }
        offsetDays = 2; // two days on, the 399-day row is past the limit
        QTRY_COMPARE(r.counters().removed, qint64(4));
        Peek peek(m_path);
        QCOMPARE(peek.rows("select content from EventRecord"), QStringList{"10"});
    }

    // stop() right after a burst: everything handed over is in the file.
    void stopWritesWhatWaits()
    {
        HistoryRecorder r(options());
        r.start();
        for (int i = 0; i < 20000; ++i)
            r.record(makeEvent(1 + i % 5, 1, 1, 1, QString::number(i), "2026-12-06 00:00:00"), QString());
        r.stop();
        QCOMPARE(r.counters().written, qint64(20000));
        Peek peek(m_path);
        QCOMPARE(peek.rows("select count(*), count(distinct code) from EventRecord"), QStringList{"20000|20000"});
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
