// The controller store against real SQLite files in a temporary directory,
// and the dialog's validation rules on plain row data.

#include "common/testfiles.h"
#include "config/controllerstore.h"
#include "config/controllervalidation.h"
#include "core/apppaths.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

using namespace ControllerStore;

namespace {

bool networkTypes(int type) { return type == 240 || type == 241; }

// A table as a delivered database might have it (every column text, no
// uniqueness), written through its own connection; `rows` are id, name,
// type, CommValue.
void writeLegacyTable(const QString &path, const QList<QVariantList> &rows, bool table = true)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(table ? "CREATE TABLE ServerControllerInfo (ControllerID TEXT, ControllerName TEXT, ControllerType "
                               "TEXT, number TEXT, description TEXT, CommValue TEXT, IsOpenBefore TEXT)"
                             : "CREATE TABLE other (x)"));
        for (const QVariantList &r : rows) {
            q.prepare("INSERT INTO ServerControllerInfo (ControllerID, ControllerName, ControllerType, CommValue) "
                      "VALUES (?,?,?,?)");
            for (const QVariant &v : r)
                q.addBindValue(v);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
}

// Every column of one row as the text the table holds, or the row count.
QString stored(int id = -1)
{
    QSqlQuery q;
    if (id < 0)
        return q.exec("SELECT count(*) FROM ServerControllerInfo") && q.next() ? q.value(0).toString() : "-";
    q.prepare("SELECT ControllerID, ControllerName, ControllerType, number, description, CommValue, IsOpenBefore "
              "FROM ServerControllerInfo WHERE ControllerID = ?");
    q.addBindValue(id);
    QStringList out;
    if (q.exec() && q.next())
        for (int i = 0; i < 7; ++i)
            out << (q.value(i).isNull() ? QStringLiteral("<null>") : q.value(i).toString());
    return out.join('|');
}

} // namespace

class TestControllerStore : public QObject
{
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<LogCapture> m_log;
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        AppPaths::setAppDir(m_dir->path());
        m_log.reset(new LogCapture);
    }
    void cleanup()
    {
        m_log.reset();
        closeDatabase();
        AppPaths::setAppDir(QString());
    }

    void accessFilePreferredAndItsFailureLoggedOnce()
    {
        QVERIFY(TestFiles::write(path("KelFireSystem.mdb"), QByteArray()));
        writeLegacyTable(path("KelServerSet.db"), {{5, "a", 22, "3"}});
        QCOMPARE(selectDatabaseFile(), QStringLiteral("KelFireSystem.mdb"));
        QCOMPARE(accessConnectionString(m_dir->path()),
                 "DRIVER={Microsoft Access Driver (*.mdb)};FIL={MS Access};DBQ=" + m_dir->path()
                     + "/Project/KelFireSystem.mdb;UID=;PWD=");
        // No Access ODBC driver here: the SQLite file is not used instead and
        // the server goes on without controllers.
        QVERIFY(!openDatabase(QStringLiteral("KelFireSystem.mdb")));
        QVERIFY(!isDatabaseOpen());
        QVERIFY(readControllers(&networkTypes).isEmpty());
        QVERIFY(!insertController(1, QStringLiteral("x"), 22, QStringLiteral("3")));
        QCOMPARE(m_log->count(QStringLiteral("cannot be opened with QODBC")), 1);
        QCOMPARE(m_log->count(QStringLiteral("cannot be opened")), 1);
    }

    void sqliteFilesFoundCreatedOrRefused()
    {
        // Spelt differently (a site copied from a system that ignores case):
        // that very file is opened, not a new empty one beside it.
        writeLegacyTable(path("kelserverset.db"), {{5, "a", 22, "3"}});
        QCOMPARE(selectDatabaseFile(), QStringLiteral("kelserverset.db"));
        QVERIFY(openDatabase(QStringLiteral("kelserverset.db")));
        QVERIFY(openDatabase(QStringLiteral("KelFireSystem.mdb"))); // an open connection is kept
        QCOMPARE(readControllers(&networkTypes).value(0).comPort, quint8(3));
        QVERIFY(!QFile::exists(path("KelServerSet.db")));
        closeDatabase();
        QFile::remove(path("kelserverset.db"));

        // A fresh installation: created, and its table refuses a second number 7.
        QCOMPARE(selectDatabaseFile(), QString());
        QVERIFY(openDatabase(QString()));
        QVERIFY(insertController(7, QStringLiteral("一号"), 22, QStringLiteral("3")));
        closeDatabase();
        QVERIFY(openDatabase(selectDatabaseFile()));
        QCOMPARE(readControllers(&networkTypes).value(0).name, QStringLiteral("一号"));
        QVERIFY(!insertController(7, QStringLiteral("again"), 22, QStringLiteral("4")));
        QCOMPARE(m_log->count(QStringLiteral("insert of controller 7 failed")), 1);
        closeDatabase();

        QFile::remove(path("KelServerSet.db"));
        writeLegacyTable(path("KelServerSet.db"), {}, false); // without the table: it gets one
        QVERIFY(openDatabase(selectDatabaseFile()));
        QCOMPARE(stored(), QStringLiteral("0"));
        closeDatabase();
        QVERIFY(TestFiles::write(path("KelServerSet.db"), QByteArray(4096, 'x'))); // not a database
        QVERIFY(!openDatabase(selectDatabaseFile()));
        QVERIFY(!isDatabaseOpen());
        QCOMPARE(m_log->count(QStringLiteral("cannot create table")), 1);
    }

    void rowsDecodeInAscendingOrderWithOneWarningPerUnsoundRow()
    {
        writeLegacyTable(path("KelServerSet.db"),
                         {{10, "usb", 22, "USB7"}, {2, "serial", 22, "7"}, {9, "net", 241, "0/10.0.0.5:4001"},
                          {30, "text", 22, "abc"}, {1, "wide type", 300, "3"}, {0, "id zero", 22, "4"},
                          {261, "id 261", 22, "5"}, {3, "empty comm", 22, ""}, {4, "null comm", 22, QVariant()},
                          {6, "bad net", 240, "10.0.0.5"}, {7, "big port", 22, "300"}, {8, "dup a", 22, "6"},
                          {8, "dup b", 22, "7"}});
        QVERIFY(openDatabase(selectDatabaseFile()));
        const QList<ControllerInfo> rows = readControllers(&networkTypes);
        QStringList seen; // the ids are text here: only a numeric order puts 9 before 10
        for (const ControllerInfo &r : rows)
            seen << QStringLiteral("%1:%2:%3").arg(r.controllerId).arg(r.controllerType).arg(r.comPort);
        QCOMPARE(seen.join(' '), QStringLiteral("0:22:4 1:44:3 2:22:7 3:22:0 4:22:0 6:240:0 7:22:44 8:22:6 8:22:7 "
                                                "9:241:0 10:22:7 30:22:0 261:22:5"));
        QCOMPARE(rows.at(7).name, QStringLiteral("dup a")); // both kept in table order; the manager keeps the first
        QCOMPARE(rows.at(5).netAddress, QStringLiteral("10.0.0.5"));
        QCOMPARE(rows.at(2).netAddress, QStringLiteral("/127.0.0.1:80"));
        QCOMPARE(commColumnText(rows.at(2)), QStringLiteral("COM7"));
        QCOMPARE(commColumnText(rows.at(9)), QStringLiteral("10.0.0.5:4001"));
        QCOMPARE(commColumnText(rows.at(10)), QStringLiteral("USB7"));
        QCOMPARE(m_log->count(QStringLiteral("ServerControllerInfo row")), 8);
        QCOMPARE(m_log->count(QStringLiteral("\"abc\"")), 1);
        QCOMPARE(stored(), QStringLiteral("13")); // nothing written
        QVERIFY(deleteController(30)); // the unquoted number finds the text id
        QCOMPARE(stored(), QStringLiteral("12"));
    }

    void statementsStoreWhatWasTypedAndSayWhetherTheyChangedTheTable()
    {
        QVERIFY(openDatabase(QString()));
        // Bound values: quotes are stored as typed.
        const QString name = QStringLiteral("east \"wing\" o'clock\"); drop table ServerControllerInfo; --");
        QVERIFY(insertController(12, name, 22, QStringLiteral("3")));
        QCOMPARE(readControllers(&networkTypes).first().name, name);
        QVERIFY(insertController(40, QStringLiteral("网关"), 240, networkCommValue("192.168.1.20", "9002")));
        QCOMPARE(stored(40), QStringLiteral("40|网关|240|40|网关|0/192.168.1.20:9002|<null>"));
        QVERIFY(updateController(40, QStringLiteral("it's \"usb\""), 22, serialCommValue("USB5"), 40));
        QCOMPARE(stored(40), QStringLiteral("40|it's \"usb\"|22|40|it's \"usb\"|USB5|<null>"));
        QCOMPARE(serialCommValue(QStringLiteral("COM3")), QStringLiteral("3"));
        QVERIFY(recordOpenState(40, true));
        QCOMPARE(stored(40).right(1), QStringLiteral("1"));
        // Shutdown: one open state per controller, in one transaction.
        QCOMPARE(recordOpenStates({{12, true}, {40, false}}), 2);
        QCOMPARE(stored(12).right(1) + stored(40).right(1), QStringLiteral("10"));

        // Statements that change nothing fail, with a log line.
        QVERIFY(!updateController(6, QStringLiteral("b"), 22, QStringLiteral("4"), 6));
        QCOMPARE(m_log->count(QStringLiteral("update of controller 6 matched no row")), 1);
        QVERIFY(!insertController(256, QStringLiteral("b"), 22, QStringLiteral("4")));
        QVERIFY(!insertController(6, QStringLiteral("b"), 22, QString()));
        QVERIFY(deleteController(12));
        QVERIFY(!deleteController(12));
        QVERIFY(!recordOpenState(12, true));
        QCOMPARE(stored(), QStringLiteral("1"));
        // A statement the engine rejects is logged with the engine's text.
        QVERIFY(QSqlQuery().exec("DROP TABLE ServerControllerInfo"));
        QVERIFY(!insertController(6, QStringLiteral("b"), 22, QStringLiteral("4")));
        QCOMPARE(m_log->count(QStringLiteral("no such table")), 1);
    }

    void validationOrderAndTexts()
    {
        using namespace ControllerValidation;
        for (const char *port : {"0", "65536", "port", ""})
            QCOMPARE(validate({3, true, QString(), "10.0.0.5", port}, {}), BadPort);
        for (const char *port : {"1", "65535"})
            QCOMPARE(validate({3, true, QString(), "10.0.0.5", port}, {}), Accepted);
        QCOMPARE(refusalText(BadPort), QStringLiteral("请输入正确的端口号!"));

        const QList<ControllerRow> rows{{5, QStringLiteral("COM3")}, {6, QStringLiteral("10.0.0.5:9002")}};
        // Network: a bad port, then the taken address, then the taken number.
        QCOMPARE(validate({5, true, QString(), "10.0.0.5", "0"}, rows), BadPort);
        QCOMPARE(validate({5, true, QString(), "10.0.0.5", "9002"}, rows), AddressTaken);
        QCOMPARE(validate({5, true, QString(), "10.0.0.5", "9003"}, rows), NumberTaken);
        QCOMPARE(refusalText(AddressTaken), QStringLiteral("该IP地址被占用，请选择其他地址！"));
        // Serial: the taken number, then the taken port.
        QCOMPARE(validate({6, false, "COM3", QString(), QString()}, rows), NumberTaken);
        QCOMPARE(validate({7, false, "COM3", QString(), QString()}, rows), SerialPortTaken);
        QCOMPARE(validate({7, false, "COM4", QString(), QString()}, rows), Accepted);
        QCOMPARE(refusalText(NumberTaken), QStringLiteral("该控制器号被占用，请选择其他控制器！"));
        QCOMPARE(refusalText(SerialPortTaken), QStringLiteral("该串口号被占用，请选择其他串口！"));
        // Modifying skips the edited row: its own number and port are fine.
        QCOMPARE(validate({6, false, "COM3", QString(), QString()}, rows, 1), SerialPortTaken);
        QCOMPARE(validate({5, false, "COM3", QString(), QString()}, rows, 0), Accepted);
        QCOMPARE(validate({6, true, QString(), "10.0.0.5", "9002"}, rows, 1), Accepted);
    }
};

QTEST_GUILESS_MAIN(TestControllerStore)
#include "tst_controllerstore.moc"
