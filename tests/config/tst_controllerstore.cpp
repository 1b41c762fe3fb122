// The controller store against real SQLite files in a temporary directory,
// and the dialog's validation rules on plain row data.

#include "config/controllerstore.h"
#include "config/controllervalidation.h"
#include "core/apppaths.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The network models' type codes, as the panel models answer them.
bool networkTypes(int type)
{
    return type == 240 || type == 241;
}

QStringList g_warnings;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (type == QtWarningMsg)
        g_warnings << msg;
    if (g_previous)
        g_previous(type, ctx, msg);
}

int warningsContaining(const QString &text)
{
    int n = 0;
    for (const QString &w : qAsConst(g_warnings))
        n += w.contains(text) ? 1 : 0;
    return n;
}

struct Row
{
    QVariant id, name, type, comm;
};

// A table as a delivered database might have it: every column text, no
// uniqueness, written through its own connection so the store's default
// connection is untouched.
void writeLegacyTable(const QString &path, const QList<Row> &rows)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("CREATE TABLE ServerControllerInfo (ControllerID TEXT, ControllerName TEXT, "
                                      "ControllerType TEXT, number TEXT, description TEXT, CommValue TEXT, "
                                      "IsOpenBefore TEXT)")));
        for (const Row &r : rows) {
            q.prepare(QStringLiteral("INSERT INTO ServerControllerInfo (ControllerID, ControllerName, ControllerType, "
                                     "CommValue) VALUES (?,?,?,?)"));
            q.addBindValue(r.id);
            q.addBindValue(r.name);
            q.addBindValue(r.type);
            q.addBindValue(r.comm);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
}

int rowCount()
{
    QSqlQuery q(QSqlDatabase::database());
    if (!q.exec(QStringLiteral("SELECT count(*) FROM ServerControllerInfo")) || !q.next())
        return -1;
    return q.value(0).toInt();
}

// Every column of one row as the text the table holds.
QStringList storedRow(int id)
{
    QSqlQuery q(QSqlDatabase::database());
    q.prepare(QStringLiteral("SELECT ControllerID, ControllerName, ControllerType, number, description, CommValue, "
                             "IsOpenBefore FROM ServerControllerInfo WHERE ControllerID = ?"));
    q.addBindValue(id);
    QStringList out;
    if (q.exec() && q.next()) {
        for (int i = 0; i < 7; ++i)
            out << (q.value(i).isNull() ? QStringLiteral("<null>") : q.value(i).toString());
    }
    return out;
}

} // namespace

class TestControllerStore : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    void touch(const QString &name)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

private slots:
    void initTestCase() { g_previous = qInstallMessageHandler(capture); }
    void cleanupTestCase() { qInstallMessageHandler(g_previous); }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        AppPaths::setAppDir(m_dir->path());
        g_warnings.clear();
    }

    void cleanup()
    {
        ControllerStore::closeDatabase();
        AppPaths::setAppDir(QString());
    }

    void accessFilePreferredAndItsFailureLoggedOnce()
    {
        touch(QStringLiteral("KelFireSystem.mdb"));
        writeLegacyTable(path(QStringLiteral("KelServerSet.db")), {{5, "a", 22, "3"}});
        const QString name = ControllerStore::selectDatabaseFile();
        QCOMPARE(name, QStringLiteral("KelFireSystem.mdb"));
        QVERIFY(ControllerStore::accessConnectionString(m_dir->path())
                == QStringLiteral("DRIVER={Microsoft Access Driver (*.mdb)};FIL={MS Access};DBQ=")
                       + m_dir->path() + QStringLiteral("/Project/KelFireSystem.mdb;UID=;PWD="));

        // No Access ODBC driver here: the open fails, the SQLite file is not
        // used instead, and the server goes on without controllers.
        QVERIFY(!ControllerStore::openDatabase(name));
        QVERIFY(!ControllerStore::isDatabaseOpen());
        QCOMPARE(warningsContaining(QStringLiteral("cannot be opened with QODBC")), 1);
        QVERIFY(ControllerStore::readControllers(&networkTypes).isEmpty());
        QVERIFY(!ControllerStore::insertController(1, QStringLiteral("x"), 22, QStringLiteral("3")));
        QCOMPARE(warningsContaining(QStringLiteral("cannot be opened")), 1);
    }

    void onlySqliteFileIsOpened()
    {
        writeLegacyTable(path(QStringLiteral("KelServerSet.db")), {{5, "a", 22, "3"}});
        QCOMPARE(ControllerStore::selectDatabaseFile(), QStringLiteral("KelServerSet.db"));
        QVERIFY(ControllerStore::openDatabase(QStringLiteral("KelServerSet.db")));
        // A second open keeps the connection as it is.
        QVERIFY(ControllerStore::openDatabase(QStringLiteral("KelFireSystem.mdb")));
        const QList<ControllerInfo> rows = ControllerStore::readControllers(&networkTypes);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().controllerId, 5);
        QCOMPARE(rows.first().comPort, quint8(3));
    }

    void databaseFileIsOpenedUnderItsOwnSpelling()
    {
        // A site copied from a system whose file names ignore case: the
        // listing finds the file, and the same file must be opened, not a new
        // empty one beside it.
        writeLegacyTable(path(QStringLiteral("kelserverset.db")), {{5, "a", 22, "3"}});
        const QString name = ControllerStore::selectDatabaseFile();
        QCOMPARE(name, QStringLiteral("kelserverset.db"));
        QVERIFY(ControllerStore::openDatabase(name));
        QCOMPARE(ControllerStore::readControllers(&networkTypes).size(), 1);
        QVERIFY(!QFile::exists(path(QStringLiteral("KelServerSet.db"))));
    }

    void freshInstallationKeepsControllers()
    {
        QCOMPARE(ControllerStore::selectDatabaseFile(), QString());
        QVERIFY(ControllerStore::openDatabase(QString()));
        QVERIFY(QFile::exists(path(QStringLiteral("KelServerSet.db"))));
        QVERIFY(ControllerStore::insertController(7, QStringLiteral("一号"), 22, QStringLiteral("3")));
        ControllerStore::closeDatabase();

        QCOMPARE(ControllerStore::selectDatabaseFile(), QStringLiteral("KelServerSet.db"));
        QVERIFY(ControllerStore::openDatabase(QStringLiteral("KelServerSet.db")));
        const QList<ControllerInfo> rows = ControllerStore::readControllers(&networkTypes);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().name, QStringLiteral("一号"));
        // The created table refuses a second controller with the same number.
        QVERIFY(!ControllerStore::insertController(7, QStringLiteral("again"), 22, QStringLiteral("4")));
        QCOMPARE(warningsContaining(QStringLiteral("insert of controller 7 failed")), 1);
        QCOMPARE(rowCount(), 1);
    }

    void sqliteFileWithoutTableGetsIt()
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
            db.setDatabaseName(path(QStringLiteral("KelServerSet.db")));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("CREATE TABLE other (x)")));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
        QVERIFY(QSqlDatabase::database().tables().contains(QStringLiteral("ServerControllerInfo")));
        QCOMPARE(rowCount(), 0);
    }

    void fileThatIsNoDatabaseIsNotUsed()
    {
        QFile f(path(QStringLiteral("KelServerSet.db")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        QVERIFY(!ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
        QVERIFY(!ControllerStore::isDatabaseOpen());
        QCOMPARE(warningsContaining(QStringLiteral("cannot create table")), 1);
    }

    void rowsDecodeInAscendingOrder()
    {
        writeLegacyTable(path(QStringLiteral("KelServerSet.db")),
                         {{10, "usb", 22, "USB7"},
                          {2, "serial", 22, "7"},
                          {9, "net", 241, "0/10.0.0.5:4001"},
                          {30, "text", 22, "abc"}});
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
        const QList<ControllerInfo> rows = ControllerStore::readControllers(&networkTypes);
        QCOMPARE(rows.size(), 4);
        // The ids are text in this table, so only a numeric order puts 9 before 10.
        QCOMPARE(rows.at(0).controllerId, 2);
        QCOMPARE(rows.at(1).controllerId, 9);
        QCOMPARE(rows.at(2).controllerId, 10);
        QCOMPARE(rows.at(3).controllerId, 30);

        QCOMPARE(rows.at(0).comPort, quint8(7));
        QCOMPARE(rows.at(0).netAddress, QStringLiteral("/127.0.0.1:80"));
        QCOMPARE(rows.at(2).comPort, quint8(7));
        QCOMPARE(rows.at(1).netAddress, QStringLiteral("0/10.0.0.5:4001"));
        QCOMPARE(rows.at(1).comPort, quint8(0));
        QCOMPARE(rows.at(1).controllerType, 241);
        QCOMPARE(rows.at(3).comPort, quint8(0));

        QCOMPARE(ControllerStore::commColumnText(rows.at(0)), QStringLiteral("COM7"));
        QCOMPARE(ControllerStore::commColumnText(rows.at(1)), QStringLiteral("10.0.0.5:4001"));
        QCOMPARE(ControllerStore::commColumnText(rows.at(2)), QStringLiteral("USB7"));
        // Only the unreadable CommValue is worth a warning.
        QCOMPARE(warningsContaining(QStringLiteral("ServerControllerInfo row")), 1);
        QCOMPARE(warningsContaining(QStringLiteral("\"abc\"")), 1);
    }

    void unsoundRowsLoadAndWarnOncePerRow()
    {
        writeLegacyTable(path(QStringLiteral("KelServerSet.db")),
                         {{1, "wide type", 300, "3"},
                          {0, "id zero", 22, "4"},
                          {261, "id 261", 22, "5"},
                          {3, "empty comm", 22, ""},
                          {4, "null comm", 22, QVariant()},
                          {6, "bad net", 240, "10.0.0.5"},
                          {7, "big port", 22, "300"},
                          {8, "dup a", 22, "6"},
                          {8, "dup b", 22, "7"}});
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
        QCOMPARE(rowCount(), 9);
        const QList<ControllerInfo> rows = ControllerStore::readControllers(&networkTypes);
        QCOMPARE(rows.size(), 9);
        QCOMPARE(warningsContaining(QStringLiteral("ServerControllerInfo row")), 7);
        QCOMPARE(rows.at(0).controllerId, 0);
        QCOMPARE(rows.at(1).controllerType, 300 & 0xFF);
        QCOMPARE(warningsContaining(QStringLiteral("\"wide type\"")), 1);
        QCOMPARE(warningsContaining(QStringLiteral("\"id 261\"")), 1);
        QCOMPARE(rows.at(2).comPort, quint8(0));   // empty
        QCOMPARE(rows.at(3).comPort, quint8(0));   // null
        QCOMPARE(rows.at(4).netAddress, QStringLiteral("10.0.0.5"));
        QCOMPARE(rows.at(5).comPort, quint8(300 & 0xFF));
        // Both duplicates are read in table order; the manager keeps the first.
        QCOMPARE(rows.at(6).name, QStringLiteral("dup a"));
        QCOMPARE(rows.at(7).name, QStringLiteral("dup b"));
        QCOMPARE(rows.at(8).controllerId, 261);
        QCOMPARE(rowCount(), 9);
    }

    void quotesInNamesAreStoredAsTyped()
    {
        QVERIFY(ControllerStore::openDatabase(QString()));
        const QString name = QStringLiteral("east \"wing\" o'clock\"); drop table ServerControllerInfo; --");
        QVERIFY(ControllerStore::insertController(12, name, 22, QStringLiteral("3")));
        QCOMPARE(ControllerStore::readControllers(&networkTypes).first().name, name);
        const QString other = QStringLiteral("it's \"new\"");
        QVERIFY(ControllerStore::updateController(12, other, 22, QStringLiteral("3"), 12));
        QCOMPARE(ControllerStore::readControllers(&networkTypes).first().name, other);
        QCOMPARE(rowCount(), 1);
    }

    void storedTextOfEveryColumn()
    {
        QVERIFY(ControllerStore::openDatabase(QString()));
        QVERIFY(ControllerStore::insertController(
            240 - 200, QStringLiteral("网关"), 240,
            ControllerStore::networkCommValue(QStringLiteral("192.168.1.20"), QStringLiteral("9002"))));
        QCOMPARE(storedRow(40), (QStringList{"40", "网关", "240", "40", "网关", "0/192.168.1.20:9002", "<null>"}));
        QVERIFY(ControllerStore::updateController(40, QStringLiteral("usb panel"), 22,
                                                  ControllerStore::serialCommValue(QStringLiteral("USB5")), 40));
        QCOMPARE(storedRow(40), (QStringList{"40", "usb panel", "22", "40", "usb panel", "USB5", "<null>"}));
        QVERIFY(ControllerStore::recordOpenState(40, true));
        QCOMPARE(storedRow(40).last(), QStringLiteral("1"));
        QVERIFY(ControllerStore::recordOpenState(40, false));
        QCOMPARE(storedRow(40).last(), QStringLiteral("0"));
        QCOMPARE(ControllerStore::serialCommValue(QStringLiteral("COM3")), QStringLiteral("3"));
    }

    void statementsReportWhetherTheyChangedTheTable()
    {
        writeLegacyTable(path(QStringLiteral("KelServerSet.db")), {{5, "a", 22, "3"}});
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
        QVERIFY(!ControllerStore::updateController(6, QStringLiteral("b"), 22, QStringLiteral("4"), 6));
        QCOMPARE(warningsContaining(QStringLiteral("update of controller 6 matched no row")), 1);
        QVERIFY(!ControllerStore::insertController(256, QStringLiteral("b"), 22, QStringLiteral("4")));
        QVERIFY(!ControllerStore::insertController(6, QStringLiteral("b"), 22, QString()));
        QCOMPARE(rowCount(), 1);
        // The legacy column holds text "5"; the unquoted number still finds it.
        QVERIFY(ControllerStore::deleteController(5));
        QCOMPARE(rowCount(), 0);
        QVERIFY(!ControllerStore::deleteController(5));
        QVERIFY(!ControllerStore::recordOpenState(5, true));

        // A statement the engine rejects is logged with the engine's text.
        QSqlQuery q(QSqlDatabase::database());
        QVERIFY(q.exec(QStringLiteral("DROP TABLE ServerControllerInfo")));
        QVERIFY(!ControllerStore::insertController(6, QStringLiteral("b"), 22, QStringLiteral("4")));
        QCOMPARE(warningsContaining(QStringLiteral("no such table")), 1);
    }

    void shutdownStoresOneOpenStatePerController()
    {
        QVERIFY(ControllerStore::openDatabase(QString()));
        QVERIFY(ControllerStore::insertController(1, QStringLiteral("a"), 22, QStringLiteral("1")));
        QVERIFY(ControllerStore::insertController(2, QStringLiteral("b"), 22, QStringLiteral("2")));
        QVERIFY(ControllerStore::insertController(3, QStringLiteral("c"), 21, QStringLiteral("3")));
        QCOMPARE(ControllerStore::recordOpenStates({{1, true}, {2, false}, {3, false}}), 3);
        QCOMPARE(storedRow(1).last(), QStringLiteral("1"));
        QCOMPARE(storedRow(2).last(), QStringLiteral("0"));
        QCOMPARE(storedRow(3).last(), QStringLiteral("0"));
        QCOMPARE(warningsContaining(QStringLiteral("settings database")), 0);
    }

    void validationOfPorts_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0") << "0" << false;
        QTest::newRow("65536") << "65536" << false;
        QTest::newRow("text") << "port" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("65535") << "65535" << true;
    }

    void validationOfPorts()
    {
        QFETCH(QString, port);
        QFETCH(bool, accepted);
        const ControllerCandidate c{3, true, QString(), QStringLiteral("10.0.0.5"), port};
        const ControllerValidation::Result r = ControllerValidation::validate(c, {});
        QCOMPARE(r == ControllerValidation::Accepted, accepted);
        if (!accepted)
            QCOMPARE(ControllerValidation::refusalText(r), QStringLiteral("请输入正确的端口号!"));
    }

    void validationOrderAndTexts()
    {
        using namespace ControllerValidation;
        const QList<ControllerRow> rows{{5, QStringLiteral("COM3")}, {6, QStringLiteral("10.0.0.5:9002")}};

        // Network: the taken address is reported before the taken number.
        const ControllerCandidate net{5, true, QString(), QStringLiteral("10.0.0.5"), QStringLiteral("9002")};
        QCOMPARE(validate(net, rows), AddressTaken);
        QCOMPARE(refusalText(AddressTaken), QStringLiteral("该IP地址被占用，请选择其他地址！"));
        ControllerCandidate netOtherAddress = net;
        netOtherAddress.portText = QStringLiteral("9003");
        QCOMPARE(validate(netOtherAddress, rows), NumberTaken);
        // A bad port comes before both.
        ControllerCandidate netBadPort = net;
        netBadPort.portText = QStringLiteral("0");
        QCOMPARE(validate(netBadPort, rows), BadPort);

        // Serial: the taken number is reported before the taken port.
        const ControllerCandidate serial{6, false, QStringLiteral("COM3"), QString(), QString()};
        QCOMPARE(validate(serial, rows), NumberTaken);
        QCOMPARE(refusalText(NumberTaken), QStringLiteral("该控制器号被占用，请选择其他控制器！"));
        const ControllerCandidate serialNewNumber{7, false, QStringLiteral("COM3"), QString(), QString()};
        QCOMPARE(validate(serialNewNumber, rows), SerialPortTaken);
        QCOMPARE(refusalText(SerialPortTaken), QStringLiteral("该串口号被占用，请选择其他串口！"));
        QCOMPARE(validate(ControllerCandidate{7, false, QStringLiteral("COM4"), QString(), QString()}, rows), Accepted);

        // Modifying skips the edited row: its own number and port are fine.
        QCOMPARE(validate(serial, rows, 1), SerialPortTaken);
        QCOMPARE(validate(ControllerCandidate{5, false, QStringLiteral("COM3"), QString(), QString()}, rows, 0), Accepted);
        QCOMPARE(validate(ControllerCandidate{6, true, QString(), QStringLiteral("10.0.0.5"), QStringLiteral("9002")},
                          rows, 1),
                 Accepted);
    }
};

QTEST_GUILESS_MAIN(TestControllerStore)
#include "tst_controllerstore.moc"
