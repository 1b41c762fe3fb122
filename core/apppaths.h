#pragma once
// Where the server finds the files it keeps "in the application directory".

#include <QString>
#include <QStringList>

namespace AppPaths {
// The executable's directory, or the directory given with --app-dir.
QString appDir();
void setAppDir(const QString &dir);
// appDir() + "/" + name.
QString file(const QString &name);
// Takes "--app-dir DIR" (or "--app-dir=DIR") from the arguments if present.
void applyArguments(const QStringList &args);

// Device path of a serial name such as "COM3": config.ini's SerialPorts/COM3
// if mapped (a relative path is taken from the application directory), else
// /dev/ttyS2. Names that are not COM<n> are returned as they are.
QString serialDevicePath(const QString &comName);
}
