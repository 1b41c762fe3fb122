#pragma once
// Where the server finds the files it keeps "in the application directory".

#include <QString>

namespace AppPaths {
// The executable's directory, or the directory given with --app-dir.
QString appDir();
void setAppDir(const QString &dir);
// appDir() + "/" + name.
QString file(const QString &name);
}
