#include "core/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QRegularExpression>
#include <QSettings>

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

void AppPaths::applyArguments(const QStringList &args)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--app-dir") && i + 1 < args.size())
            setAppDir(args.at(i + 1));
        else if (a.startsWith(QLatin1String("--app-dir=")))
            setAppDir(a.mid(10));
    }
}

QString AppPaths::serialDevicePath(const QString &comName)
{
    static const QRegularExpression re(QStringLiteral("^COM(\\d+)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(comName.trimmed());
    if (!m.hasMatch())
        return comName;
    const QString key = QStringLiteral("COM") + m.captured(1);
    QSettings ini(file(QStringLiteral("config.ini")), QSettings::IniFormat);
    ini.setIniCodec("GBK");
    const QString mapped = ini.value(QStringLiteral("SerialPorts/") + key).toString().trimmed();
    if (!mapped.isEmpty()) {
        // A relative device path belongs to the site, not to wherever the
        // server happens to be started from.
        if (QDir::isRelativePath(mapped))
            return QDir(appDir()).absoluteFilePath(mapped);
        return mapped;
    }
    const int n = m.captured(1).toInt();
    return QStringLiteral("/dev/ttyS%1").arg(n > 0 ? n - 1 : 0);
}
