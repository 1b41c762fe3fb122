#pragma once
// The table ServerControllerInfo of the settings database: finding and
// opening the database, reading the controllers, and the statements the
// console runs when the operator adds, modifies or deletes one.
//
// Everything runs on the process's default connection in the main thread.
// Values are bound as parameters, never pasted into the statement text, so a
// name with quotes is stored exactly as typed.

#include "config/controllerinfo.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace ControllerStore {

extern const char *const AccessFileName;  // "KelFireSystem.mdb"
extern const char *const SqliteFileName;  // "KelServerSet.db"

// "KelFireSystem.mdb" if it is in appDir (preferred), else "KelServerSet.db"
// if that is there, else empty. appDir defaults to the application directory.
// The listing ignores case; a file spelt differently is returned as spelt on disk.
QString selectDatabaseFile(const QString &appDir = QString());

// ODBC connection string of the Access file; it names the copy in the
// "Project" sub-directory, not the one whose presence selected it.
QString accessConnectionString(const QString &appDir);

// Opens the default connection on the selected file. An already open default
// connection is kept as it is. An empty name means a fresh installation:
// "KelServerSet.db" is created in the application directory. A SQLite file
// without the table gets it. A failure is logged once and leaves no open
// connection, so the server runs without controllers.
// readOnly (the site check): nothing is created, the file is only read.
bool openDatabase(const QString &fileName, bool readOnly = false);
bool isDatabaseOpen();
// Closes and unregisters the default connection (shutdown and tests).
void closeDatabase();

// Which type codes are network panels, whose CommValue is "0/<address>:<port>";
// the panel models know, and the caller hands their answer in.
using IsNetworkType = bool (*)(int controllerType);

// One record from the column values of a row. Whatever does not fit (type
// outside 0..255, id outside 1..255, a CommValue that is not a port or not
// "0/<address>:<port>") is decoded as the table's rules say and described in
// *problem (empty when the row is sound).
ControllerInfo decodeRow(const QVariant &id, const QVariant &name, const QVariant &type,
                         const QVariant &commValue, IsNetworkType isNetworkType,
                         QString *problem = nullptr);

// Every row in ascending ControllerID; one warning per unsound row. Nothing
// is written. Empty when the database is not open or the select fails.
QList<ControllerInfo> readControllers(IsNetworkType isNetworkType);

// CommValue forms. Serial: the port number ("3" for COM3), or "USB" and the
// number when the port's name contains "USB". Network: "0/<ip>:<port>".
QString serialCommValue(const QString &portName);
QString networkCommValue(const QString &ip, const QString &port);

// What the console's connection column shows for a record: the part after
// the first "/" for network records, a USB CommValue as it is, else "COM<n>".
QString commColumnText(const ControllerInfo &info);

// The console's statements. Each returns whether the table was changed; a
// failure is logged with the database's error text.
bool insertController(int id, const QString &name, int type, const QString &commValue);
bool updateController(int id, const QString &name, int type, const QString &commValue, int oldId);
bool deleteController(int id);
bool recordOpenState(int id, bool open);
// One open-state update per (number, open) pair, in one transaction;
// returns how many were stored.
int recordOpenStates(const QList<QPair<int, bool>> &states);

} // namespace ControllerStore
