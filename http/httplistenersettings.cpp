#include "http/httplistenersettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
int intValue(const QSettings &s, const char *key, int fallback)
{
    bool ok = false;
    const int v = s.value(QLatin1String(key)).toInt(&ok);
    return ok ? v : fallback;
}

QString pathValue(const QSettings &s, const char *key)
{
    const QString value = s.value(QLatin1String(key)).toString();
    if (value.isEmpty() || QDir::isAbsolutePath(value))
        return value;
    return QFileInfo(s.fileName()).absoluteDir().absoluteFilePath(value);
}
} // namespace

HttpListenerSettings HttpListenerSettings::fromSettings(const QSettings &s)
{
    HttpListenerSettings out;
    out.host = s.value(QStringLiteral("host")).toString();
    out.port = quint16(intValue(s, "port", 0));
    out.minThreads = intValue(s, "minThreads", out.minThreads);
    out.maxThreads = intValue(s, "maxThreads", out.maxThreads);
    out.cleanupInterval = intValue(s, "cleanupInterval", out.cleanupInterval);
    out.readTimeout = intValue(s, "readTimeout", out.readTimeout);
    out.maxRequestSize = intValue(s, "maxRequestSize", out.maxRequestSize);
    out.maxMultiPartSize = intValue(s, "maxMultiPartSize", out.maxMultiPartSize);
    out.sslKeyFile = pathValue(s, "sslKeyFile");
    out.sslCertFile = pathValue(s, "sslCertFile");
    return out;
}
