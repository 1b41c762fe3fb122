// FIXED_PORTS_TEST: the event history on a live site: the real server on a
// temporary site with a simulated ControllerBirch panel on a socat pair,
// fire-client as the client, fire-centre asking the query service on 2000.
#include "common/simulatedbirch.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "history/historystore.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kCentre = QStringLiteral(FIRE_BINARY_DIR "/fire-centre");

// A file nobody may write. Root writes through a read-only mode, so for
// root it is made immutable.
bool setReadOnly(const QString &path, bool bOn)
{
    if (::geteuid() != 0)
        return ::chmod(QFile::encodeName(path).constData(), bOn ? 0444 : 0644) == 0;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = bOn ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// NewEvent objects fire-client printed (with --raw) so far.
QList<QJsonObject> newEvents(const QString &seen)
{
    QList<QJsonObject> out;
    for (const QString &line : seen.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value("b").toString() == QLatin1String("NewEvent"))
            out << o;
    }
    return out;
}
} // namespace

class TestHistoryEndToEnd : public QObject
{
    Q_OBJECT

    QScopedPointer<SiteKit> m_site;
    QScopedPointer<SimulatedBirch> m_panel;
    QString m_seen;

    QString path(const QString &name) const { return m_site->path(name); }
    QString logPath() const { return path("EventRec.db"); }

    void makeSite()
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->copyTables());
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisControl=1\n[History]\nenabled=1\nkeepDays=30\n"
                                                "[SerialPorts]\nCOM1=%1\n")
                                     .arg(path("ttyPanel"))
                                     .toUtf8()));
        QVERIFY(m_site->init({"--controller", "1:22:1:一号主机", "--account", "demo:demo123:Local", "--account",
                              "ops:ops123:Local"}));
        m_panel.reset(new SimulatedBirch(m_site->dir()));
        QVERIFY(m_panel->start());
        m_seen.clear();
    }

    // An event log made before the server starts, with these notices.
    void seedLog(const QList<QPair<QString, int>> &contentAndAgeDays)
    {
        HistoryStore store(QStringLiteral("seed"));
        QVERIFY(store.open(logPath(), false));
        QVERIFY(store.prepareSchema());
        QVERIFY(store.begin());
        for (const auto &row : contentAndAgeDays)
            QVERIFY(store.insert(HistoryRecord::notice(QStringLiteral("火警"), row.first,
                                                       QDateTime::currentDateTime().addDays(-row.second)
                                                           .toString("yyyy-MM-dd hh:mm:ss"))));
        QVERIFY(store.commit());
    }

    void startServer()
    {
        QVERIFY2(m_site->start(QStringLiteral("client service listening on port 5999"), 10000),
                 qPrintable("server ended: " + m_site->startLog()));
    }

    QStringList rows(const QString &sql) const
    {
        QStringList out;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "look");
            db.setDatabaseName(logPath());
            db.setConnectOptions("QSQLITE_OPEN_READONLY");
            if (db.open()) {
                QSqlQuery q(db);
                q.exec(sql);
                while (q.next())
                    out << q.value(0).toString();
            }
        }
        QSqlDatabase::removeDatabase("look");
        return out;
    }

    // The codes of the NewEvents the client has printed with this number and property.
    QStringList seenCodes(QProcess *client, int number, int property)
    {
        m_seen += QString::fromUtf8(client->readAll());
        QStringList codes;
        for (const QJsonObject &o : newEvents(m_seen)) {
            if (o.value("g").toInt() == number && o.value("h").toInt() == property)
                codes << o.value("m").toString();
        }
        return codes;
    }

    static QString run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAll());
    }

private slots:
    void cleanup()
    {
        if (m_site && QFile::exists(logPath()))
            setReadOnly(logPath(), false);
        m_site.reset();
        m_panel.reset();
    }

    // An alarm, a fault and its restore are in the log with their action
    // and description; the query service answers them for the day as a
    // centre asks; HISTORY pages them by panel; the retention has removed
    // a row past keepDays at the start and kept a newer one.
    void deliveredEventsAreRecordedAndAnswered()
    {
        STEP(makeSite());
        STEP(seedLog({{QStringLiteral("old"), 31}, {QStringLiteral("recent"), 29}}));
        STEP(startServer());
        QProcess *watch = m_site->client("demo", "demo123");
        QTRY_VERIFY_WITH_TIMEOUT((m_seen += QString::fromUtf8(watch->readAll())).contains("LogOK_Mulsys"), 10000);

        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        m_panel->sim().addReport(0x21, 0x07, 0x02, 0x00, 0x0e);
        m_panel->sim().addReport(0x11, 0x07, 0x02, 0x00, 0x0e);
        QTRY_VERIFY_WITH_TIMEOUT(!seenCodes(watch, 7, 0).isEmpty(), 15000);
        const QString alarm = seenCodes(watch, 1, 1).value(0);
        const QString fault = seenCodes(watch, 7, 1).value(0);
        QVERIFY(!alarm.isEmpty() && seenCodes(watch, 7, 0) == QStringList{fault});

        const QString panel1 = QStringLiteral("控制器1号(一号主机) 设备");
        const QString recorded = "select action || '|' || content from EventRecord where class in (1, 7) order by id";
        QTRY_COMPARE_WITH_TIMEOUT(rows(recorded).size(), 3, 10000);
        const QStringList expected{"火警|" + panel1 + alarm + " ", "故障|" + panel1 + fault + " ",
                                   "恢复|" + panel1 + fault + " "};
        for (int i = 0; i < 3; ++i)
            QVERIFY2(rows(recorded).at(i).startsWith(expected.at(i)), qPrintable(rows(recorded).at(i)));
        QCOMPARE(rows("select content from EventRecord where atime < date('now', '-20 days')"),
                 QStringList{"recent"});
        QVERIFY(!rows("select content from EventRecord where content like '客户端登录:demo%'").isEmpty());

        const QString today = QDate::currentDate().toString("yyyy-MM-dd");
        const QString fires = run(kCentre, {"--query", "5", today, today});
        QVERIFY2(fires.contains("127.0.0.1||火警||" + panel1 + alarm), qPrintable(fires));
        QVERIFY(!fires.contains("||故障||"));
        const QString all = run(kCentre, {"--query", "0", today, today});
        QVERIFY(all.indexOf("||恢复||" + panel1 + fault) < all.indexOf("||故障||" + panel1 + fault)); // newest first

        const QString one = run(QStringLiteral(FIRE_BINARY_DIR "/fire-client"),
                                {"--user", "ops", "--password", "ops123", "--timeout", "20", "history", "--from",
                                 today, "--panel", "1", "--page-size", "2", "--pages", "0"});
        const QStringList lines = one.split('\n').filter(" | ");
        QVERIFY2(lines.size() == 3 && one.count("History v=\"OK\"") == 2, qPrintable(one)); // pages of 2
        for (const QString &line : lines)
            QVERIFY2(line.contains(QStringLiteral("控制器1号")), qPrintable(line));
        QVERIFY(one.contains(" | 火警 | " + panel1 + alarm));
        QVERIFY(one.contains("history: end"));
        const QString none = run(QStringLiteral(FIRE_BINARY_DIR "/fire-client"),
                                 {"--user", "ops", "--password", "ops123", "--timeout", "20", "history", "--from",
                                  today, "--panel", "9"});
        QVERIFY2(none.split('\n').filter(" | ").isEmpty() && none.contains("history: end"), qPrintable(none));
    }

    // SIGTERM right after a burst: every event a client was delivered is in
    // the log when the server has exited.
    void sigtermAfterABurstLosesNothing()
    {
        STEP(makeSite());
        STEP(startServer());
        QProcess *watch = m_site->client("demo", "demo123");
        QTRY_VERIFY_WITH_TIMEOUT((m_seen += QString::fromUtf8(watch->readAll())).contains("LogOK_Mulsys"), 10000);
        for (int address = 1; address <= 40; ++address)
            m_panel->sim().addReport(0x15, quint8(address), 0x03, 0x00, 0x03);
        QTRY_VERIFY_WITH_TIMEOUT(seenCodes(watch, 1, 1).size() >= 15, 20000);
        const qint64 ms = m_site->terminate();
        QVERIFY2(ms >= 0 && ms < 5000, qPrintable(QString::number(ms)));
        watch->waitForFinished(5000);
        const QStringList seen = seenCodes(watch, 1, 1);
        QVERIFY(seen.size() >= 15);
        const QStringList stored = rows("select code from EventRecord where class = 1");
        for (const QString &code : seen)
            QVERIFY2(stored.contains(code), qPrintable(code + " delivered but not recorded"));
    }

    // A read-only event log: one log line, delivery goes on; writable again,
    // what waited is written.
    void readOnlyLogDoesNotStopDelivery()
    {
        STEP(makeSite());
        STEP(seedLog({}));
        if (!setReadOnly(logPath(), true))
            QSKIP("this file system cannot make a file read-only for this user");
        STEP(startServer());
        QProcess *watch = m_site->client("demo", "demo123");
        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QTRY_VERIFY_WITH_TIMEOUT(!seenCodes(watch, 1, 1).isEmpty(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(m_site->log().contains("history: cannot write"), 10000);
        m_panel->sim().addReport(0x15, 0x06, 0x01, 0x00, 0x03);
        QTRY_COMPARE_WITH_TIMEOUT(seenCodes(watch, 1, 1).size(), 2, 15000);
        QCOMPARE(m_site->log().count("history: cannot write"), 1);
        QVERIFY(rows("select code from EventRecord").isEmpty());

        QVERIFY(setReadOnly(logPath(), false));
        QTRY_COMPARE_WITH_TIMEOUT(rows("select code from EventRecord where class = 1"), seenCodes(watch, 1, 1), 10000);
        QVERIFY(m_site->log().contains("is written again"));
    }
};

QTEST_GUILESS_MAIN(TestHistoryEndToEnd)
#include "tst_history_e2e.moc"
