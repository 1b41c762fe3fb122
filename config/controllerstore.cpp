#include "config/controllerstore.h"

#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QDir>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

namespace ControllerStore {

const char *const AccessFileName = "KelFireSystem.mdb";
const char *const SqliteFileName = "KelServerSet.db";

namespace {

const QLatin1String TableName("ServerControllerInfo");

QString defaultName()
{
    return QString::fromLatin1(QSqlDatabase::defaultConnection);
}

QSqlDatabase defaultDatabase()
{
    return QSqlDatabase::database(defaultName(), false);
}

void unregisterDefault()
{
    ServerContext::instance().database = QSqlDatabase();
    if (QSqlDatabase::contains(defaultName()))
        QSqlDatabase::removeDatabase(defaultName());
}

// Column types are ours to choose: numbers as INTEGER so that "order by"
// sorts numerically; ControllerID unique so a second record with a taken
// number is refused by the table as well as by the dialog.
bool ensureTable(QSqlDatabase &db, const QString &path)
{
    if (db.tables().contains(TableName, Qt::CaseInsensitive))
        return true;
    QSqlQuery q(db);
    const bool ok = q.exec(QStringLiteral(
        "CREATE TABLE ServerControllerInfo ("
        "ControllerID INTEGER NOT NULL UNIQUE, ControllerName TEXT, ControllerType INTEGER, "
        "number TEXT, description TEXT, CommValue TEXT, IsOpenBefore TEXT)"));
    if (!ok) {
        qWarning().noquote() << QStringLiteral("settings database %1: cannot create table %2: %3")
                                    .arg(path, TableName, q.lastError().text());
        return false;
    }
    qDebug().noquote() << QStringLiteral("settings database %1: created table %2").arg(path, TableName);
    return true;
}

// Prepares and runs one statement with its values bound in order; a failure
// is logged with what was meant and the database's own error text.
bool run(QSqlQuery &q, const QString &sql, const QVariantList &values, const QString &what)
{
    bool ok = q.prepare(sql);
    if (ok) {
        for (const QVariant &v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok)
        qWarning().noquote() << QStringLiteral("settings database: %1 failed: %2 (statement: %3)")
                                    .arg(what, q.lastError().text(), sql);
    return ok;
}

bool requireOpen(const QString &what)
{
    if (isDatabaseOpen())
        return true;
    qWarning().noquote() << QStringLiteral("settings database not open: %1 not done").arg(what);
    return false;
}

// An update or delete that touched no row changed nothing the operator asked for.
bool touchedRow(const QSqlQuery &q, const QString &what)
{
    if (q.numRowsAffected() != 0)
        return true;
    qWarning().noquote() << QStringLiteral("settings database: %1 matched no row").arg(what);
    return false;
}

bool validId(int id, const QString &what)
{
    if (id >= 1 && id <= 255)
        return true;
    qWarning().noquote() << QStringLiteral("settings database: %1 refused: controller number %2 outside 1..255")
                                .arg(what).arg(id);
    return false;
}

} // namespace

QString selectDatabaseFile(const QString &appDir)
{
    const QDir dir(appDir.isEmpty() ? AppPaths::appDir() : appDir);
    const QString access = QString::fromLatin1(AccessFileName);
    const QString sqlite = QString::fromLatin1(SqliteFileName);
    // The listing ignores case; the file is then opened under the name the
    // listing found, or a file spelt differently on a case-sensitive disk
    // would be passed over for a new empty database.
    for (const QString &wanted : {access, sqlite}) {
        const QStringList found = dir.entryList(QStringList{wanted}, QDir::Files);
        if (!found.isEmpty())
            return found.contains(wanted) ? wanted : found.first();
    }
    return QString();
}

QString accessConnectionString(const QString &appDir)
{
    return QStringLiteral("DRIVER={Microsoft Access Driver (*.mdb)};FIL={MS Access};DBQ=")
           + appDir + QStringLiteral("/Project/KelFireSystem.mdb;UID=;PWD=");
}

bool openDatabase(const QString &fileName, bool readOnly)
{
    if (isDatabaseOpen())
        return true;
    unregisterDefault();

    const bool fresh = fileName.isEmpty();
    if (fresh && readOnly)
        return false;
    const QString name = fresh ? QString::fromLatin1(SqliteFileName) : fileName;
    const QString path = AppPaths::file(name);
    // The engine follows the file's name; testing the whole path would send a
    // SQLite file to ODBC whenever a directory above it has "mdb" in its name.
    const bool access = name.contains(QLatin1String("mdb"), Qt::CaseInsensitive);
    const QString driver = access ? QStringLiteral("QODBC") : QStringLiteral("QSQLITE");

    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver);
        db.setDatabaseName(access ? accessConnectionString(AppPaths::appDir()) : path);
        if (readOnly && !access)
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            qWarning().noquote() << QStringLiteral("settings database %1 cannot be opened with %2: %3; running without controllers")
                                        .arg(path, driver, db.lastError().text());
        } else if (access || readOnly || ensureTable(db, path)) {
            ok = true;
            if (fresh)
                qDebug().noquote() << QStringLiteral("no settings database in %1: created %2")
                                            .arg(AppPaths::appDir(), name);
            ServerContext::instance().database = db;
        } else {
            db.close();
        }
    }
    if (!ok)
        unregisterDefault();
    return ok;
}

bool isDatabaseOpen()
{
    return QSqlDatabase::contains(defaultName()) && defaultDatabase().isOpen();
}

void closeDatabase()
{
    ServerContext::instance().database = QSqlDatabase();
    if (!QSqlDatabase::contains(defaultName()))
        return;
    {
        QSqlDatabase db = defaultDatabase();
        db.close();
    }
    QSqlDatabase::removeDatabase(defaultName());
}

ControllerInfo decodeRow(const QVariant &id, const QVariant &name, const QVariant &type,
                         const QVariant &commValue, IsNetworkType isNetworkType, QString *problem)
{
    QStringList problems;
    ControllerInfo info;

    bool ok = false;
    const int typeValue = type.toInt(&ok);
    if (!ok)
        problems << QStringLiteral("ControllerType \"%1\" is not a number, read as 0").arg(type.toString());
    else if (typeValue < 0 || typeValue > 255)
        problems << QStringLiteral("ControllerType %1 outside 0..255, low 8 bits %2 kept")
                        .arg(typeValue).arg(typeValue & 0xFF);
    info.controllerType = typeValue & 0xFF;

    info.controllerId = id.toInt(&ok);
    if (!ok)
        problems << QStringLiteral("ControllerID \"%1\" is not a number, read as 0").arg(id.toString());
    else if (info.controllerId < 1 || info.controllerId > 255)
        problems << QStringLiteral("ControllerID %1 outside 1..255, kept as number %2")
                        .arg(info.controllerId).arg(info.controllerId & 0xFF);
    info.name = name.toString();
    info.commValue = commValue.toString();

    info.isNetwork = isNetworkType && isNetworkType(info.controllerType);
    if (info.isNetwork) {
        info.netAddress = info.commValue;
        static const QRegularExpression form(QStringLiteral("^[^/]*/([^:]+):(\\d{1,5})$"));
        const QRegularExpressionMatch m = form.match(info.commValue);
        const int port = m.hasMatch() ? m.captured(2).toInt() : 0;
        if (port < 1 || port > 65535)
            problems << QStringLiteral("network CommValue \"%1\" is not 0/<address>:<port>").arg(info.commValue);
    } else {
        QString text = info.commValue;
        if (text.contains(QLatin1String("USB")))
            text = text.mid(3);
        const int port = text.toInt(&ok);
        if (!ok)
            problems << QStringLiteral("serial CommValue \"%1\" is not a port number, port 0").arg(info.commValue);
        else if (port < 0 || port > 255)
            problems << QStringLiteral("serial CommValue \"%1\" outside 0..255, port %2")
                            .arg(info.commValue).arg(port & 0xFF);
        info.comPort = quint8(port & 0xFF);
    }

    if (problem)
        *problem = problems.join(QLatin1String("; "));
    return info;
}

QList<ControllerInfo> readControllers(IsNetworkType isNetworkType)
{
    QList<ControllerInfo> rows;
    if (!isDatabaseOpen())
        return rows;
    QSqlQuery q(defaultDatabase());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("Select * From ServerControllerInfo order by ControllerID"))) {
        qWarning().noquote() << QStringLiteral("settings database: reading %1 failed: %2")
                                    .arg(TableName, q.lastError().text());
        return rows;
    }
    const QSqlRecord columns = q.record();
    const int idCol = columns.indexOf(QStringLiteral("ControllerID"));
    const int nameCol = columns.indexOf(QStringLiteral("ControllerName"));
    const int typeCol = columns.indexOf(QStringLiteral("ControllerType"));
    const int commCol = columns.indexOf(QStringLiteral("CommValue"));
    int rowNumber = 0;
    while (q.next()) {
        ++rowNumber;
        QString problem;
        const QVariant id = q.value(idCol);
        const ControllerInfo info = decodeRow(id, q.value(nameCol), q.value(typeCol),
                                              q.value(commCol), isNetworkType, &problem);
        if (!problem.isEmpty())
            qWarning().noquote() << QStringLiteral("%1 row %2 (ControllerID \"%3\", name \"%4\"): %5")
                                        .arg(TableName).arg(rowNumber).arg(id.toString(), info.name, problem);
        rows.append(info);
    }
    // A table whose ControllerID column holds text sorts "10" before "9";
    // the controllers still come in numeric order, ties in table order.
    std::stable_sort(rows.begin(), rows.end(), [](const ControllerInfo &a, const ControllerInfo &b) {
        return a.controllerId < b.controllerId;
    });
    return rows;
}

int recordOpenStates(const QList<QPair<int, bool>> &states)
{
    // One transaction for all rows: on its own every update waits for the
    // disk several times, and with 255 controllers on a busy disk that alone
    // took the shutdown past three seconds.
    QSqlDatabase db = defaultDatabase();
    const bool batched = isDatabaseOpen() && db.transaction();
    int stored = 0;
    for (const QPair<int, bool> &state : states)
        stored += recordOpenState(state.first, state.second) ? 1 : 0;
    if (batched && !db.commit())
        qWarning().noquote() << QStringLiteral("settings database: open states not committed: %1")
                                    .arg(db.lastError().text());
    return stored;
}

QString serialCommValue(const QString &portName)
{
    static const QRegularExpression digits(QStringLiteral("(\\d+)$"));
    const QRegularExpressionMatch m = digits.match(portName.trimmed());
    if (!m.hasMatch()) {
        qWarning() << "serial port name without a number:" << portName;
        return QString();
    }
    const QString number = QString::number(m.captured(1).toInt());
    return portName.contains(QLatin1String("USB")) ? QStringLiteral("USB") + number : number;
}

QString networkCommValue(const QString &ip, const QString &port)
{
    bool ok = false;
    const int value = port.trimmed().toInt(&ok);
    return QStringLiteral("0/") + ip.trimmed() + QLatin1Char(':')
           + (ok ? QString::number(value) : port.trimmed());
}

QString commColumnText(const ControllerInfo &info)
{
    if (info.isNetwork) {
        const int slash = info.netAddress.indexOf(QLatin1Char('/'));
        return info.netAddress.mid(slash + 1);
    }
    if (info.commValue.contains(QLatin1String("USB")))
        return info.commValue;
    return QStringLiteral("COM") + QString::number(info.comPort);
}

// An insert or update needs a sound number, an open database and a CommValue.
static bool canWriteController(int id, const QString &commValue, const QString &what)
{
    if (!validId(id, what) || !requireOpen(what))
        return false;
    if (commValue.isEmpty()) {
        qWarning().noquote() << QStringLiteral("settings database: %1 refused: empty CommValue").arg(what);
        return false;
    }
    return true;
}

bool insertController(int id, const QString &name, int type, const QString &commValue)
{
    const QString what = QStringLiteral("insert of controller %1").arg(id);
    if (!canWriteController(id, commValue, what))
        return false;
    QSqlQuery q(defaultDatabase());
    const QString idText = QString::number(id);
    return run(q,
               QStringLiteral("Insert Into ServerControllerInfo "
                              "(controllerid,controllername,controllertype,number,description,CommValue) "
                              "values(?,?,?,?,?,?)"),
               {idText, name, QString::number(type), idText, name, commValue}, what);
}

bool updateController(int id, const QString &name, int type, const QString &commValue, int oldId)
{
    const QString what = QStringLiteral("update of controller %1").arg(oldId);
    if (!canWriteController(id, commValue, what))
        return false;
    QSqlQuery q(defaultDatabase());
    const QString idText = QString::number(id);
    return run(q,
               QStringLiteral("Update ServerControllerInfo set "
                              "controllerid = ?,controllername = ?,controllertype = ?,"
                              "number = ?,description = ?,CommValue = ? where controllerid = ?"),
               {idText, name, QString::number(type), idText, name, commValue, QString::number(oldId)}, what)
           && touchedRow(q, what);
}

bool deleteController(int id)
{
    const QString what = QStringLiteral("delete of controller %1").arg(id);
    if (!requireOpen(what))
        return false;
    QSqlQuery q(defaultDatabase());
    // The number goes in unquoted, as a number.
    return run(q, QStringLiteral("delete from ServerControllerinfo where ControllerID = ?"), {id}, what)
           && touchedRow(q, what);
}

bool recordOpenState(int id, bool open)
{
    const QString what = QStringLiteral("open state of controller %1").arg(id);
    if (!requireOpen(what))
        return false;
    QSqlQuery q(defaultDatabase());
    return run(q, QStringLiteral("Update ServerControllerInfo set IsOpenBefore = ? where ControllerID = ?"),
               {open ? QStringLiteral("1") : QStringLiteral("0"), QString::number(id)}, what)
           && touchedRow(q, what);
}

} // namespace ControllerStore
