#include "core/servercontext.h"

#include "core/apppaths.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSettings>

ServerContext &ServerContext::instance()
{
    // Created on first use and never destroyed: drivers and workers may
    // still reach it while the process is going down.
    static ServerContext *ctx = new ServerContext;
    return *ctx;
}

void ServerContext::setNetName(const QString &name)
{
    netName = name;
    serverAddress = deriveServerAddress(name);
}

bool iniSwitchOn(const QVariant &value)
{
    bool ok = false;
    const int n = value.toString().trimmed().toInt(&ok);
    return ok && n == 1;
}

namespace {
QString iniPath(const QString &path)
{
    return path.isEmpty() ? AppPaths::file(QStringLiteral("config.ini")) : path;
}
} // namespace

void ServerContext::loadIniIfChanged(const QString &path)
{
    const QFileInfo file(iniPath(path));
    if (file.absoluteFilePath() == m_iniPath && file.lastModified() == m_iniModified
        && (file.exists() ? file.size() : -1) == m_iniSize)
        return;
    loadIni(path);
}

void ServerContext::loadIni(const QString &path)
{
    const QFileInfo file(iniPath(path));
    m_iniPath = file.absoluteFilePath();
    m_iniModified = file.lastModified();
    m_iniSize = file.exists() ? file.size() : -1;
    QSettings ini(iniPath(path), QSettings::IniFormat);
    ini.setIniCodec("GBK");
    m_ini.clear();
    m_serialPorts.clear();
    const QStringList keys = ini.allKeys();
    for (const QString &key : keys) {
        const QVariant value = ini.value(key);
        m_ini.insert(key, value);
        if (key.startsWith(QLatin1String("SerialPorts/"), Qt::CaseInsensitive))
            m_serialPorts.insert(key.mid(12).toUpper(), value.toString().trimmed());
    }

    disconnectTimes = iniInt(QStringLiteral("Com/disconnectTimes"), 30);

    isHaveUserType = iniSwitch(QStringLiteral("Server/isHaveUserType"));
    isControl = iniSwitch(QStringLiteral("Server/isControl"));
    eventsWithoutLogin = iniSwitch(QStringLiteral("Server/eventsWithoutLogin"));
    bRemote = iniSwitch(QStringLiteral("Setting/bRemote"));
    setNetName(iniValue(QStringLiteral("System/NetName")).toString());
}

QVariant ServerContext::iniValue(const QString &key, const QVariant &defaultValue) const
{
    return m_ini.value(key, defaultValue);
}

bool ServerContext::iniSwitch(const QString &key) const
{
    return iniSwitchOn(m_ini.value(key));
}

int ServerContext::iniInt(const QString &key, int defaultValue) const
{
    bool ok = false;
    const int n = m_ini.value(key).toString().trimmed().toInt(&ok);
    return ok ? n : defaultValue;
}

int ServerContext::iniInt(const QString &key, int defaultValue, int min, int max) const
{
    const int n = iniInt(key, defaultValue);
    if (n >= min && n <= max)
        return n;
    qWarning().noquote() << QStringLiteral("%1=%2 is outside %3..%4; %5 is used instead")
                                .arg(key).arg(n).arg(min).arg(max).arg(defaultValue);
    return defaultValue;
}

QString ServerContext::iniText(const QString &key, const QString &defaultValue, bool trim) const
{
    const QVariant v = m_ini.value(key);
    if (!v.isValid())
        return defaultValue;
    const QString text = v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
    return trim ? text.trimmed() : text;
}

QString ServerContext::serialDevicePath(const QString &comName) const
{
    static const QRegularExpression re(QStringLiteral("^COM(\\d+)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(comName.trimmed());
    if (!m.hasMatch())
        return comName;
    const QString mapped = m_serialPorts.value(QStringLiteral("COM") + m.captured(1));
    if (!mapped.isEmpty()) {
        // A relative device path belongs to the site, not to wherever the
        // server happens to be started from.
        if (QDir::isRelativePath(mapped))
            return QDir(AppPaths::appDir()).absoluteFilePath(mapped);
        return mapped;
    }
    const int n = m.captured(1).toInt();
    return QStringLiteral("/dev/ttyS%1").arg(n > 0 ? n - 1 : 0);
}

QHostAddress deriveServerAddress(const QString &netName)
{
    if (!netName.isEmpty()) {
        const auto interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &iface : interfaces) {
            if (iface.humanReadableName() != netName)
                continue;
            const auto entries = iface.addressEntries();
            for (const QNetworkAddressEntry &entry : entries) {
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                    return entry.ip();
            }
            // Only the first interface of that name counts.
            break;
        }
    }
    return QHostAddress(QHostAddress::LocalHost);
}

void writeNetName(const QString &name, const QString &path)
{
    QSettings ini(iniPath(path), QSettings::IniFormat);
    ini.setIniCodec("GBK");
    ini.setValue(QStringLiteral("System/NetName"), name);
    ini.sync();
    ServerContext &ctx = ServerContext::instance();
    ctx.setNetName(name);
    ctx.m_ini.insert(QStringLiteral("System/NetName"), name);
}
