#include "core/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>

namespace {
QMutex g_lock;
QString g_override; // guarded by g_lock; drivers resolve serial names from their threads
}

QString AppPaths::appDir()
{
    {
        QMutexLocker lock(&g_lock);
        if (!g_override.isEmpty())
            return g_override;
    }
    return QCoreApplication::applicationDirPath();
}

void AppPaths::setAppDir(const QString &dir)
{
    QMutexLocker lock(&g_lock);
    g_override = dir.isEmpty() ? QString() : QDir(dir).absolutePath();
}

QString AppPaths::file(const QString &name)
{
    return appDir() + QLatin1Char('/') + name;
}

