#include "core/servercontext.h"

#include "core/apppaths.h"

#include <QNetworkInterface>
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

int disconnectTimesFrom(const QSettings &ini)
{
    bool ok = false;
    const int n = ini.value(QStringLiteral("Com/disconnectTimes"), 30).toString().trimmed().toInt(&ok);
    return ok ? n : 30;
}
} // namespace

IniSwitches readIniConfig(const QString &path)
{
    QSettings ini(iniPath(path), QSettings::IniFormat);
    ini.setIniCodec("GBK");
    IniSwitches s;
    s.isHaveNB = iniSwitchOn(ini.value(QStringLiteral("Server/isHaveNB")));
    s.isHaveModbus = iniSwitchOn(ini.value(QStringLiteral("Server/isHaveModbus")));
    s.isHaveHttp = iniSwitchOn(ini.value(QStringLiteral("Server/isHaveHttp")));
    s.httpIP = ini.value(QStringLiteral("Server/httpIP")).toString();
    s.httpSubname = ini.value(QStringLiteral("Server/HttpSubname")).toString();
    s.httpUsername = ini.value(QStringLiteral("Server/HttpUsername")).toString();
    s.httpPassword = ini.value(QStringLiteral("Server/HttpPassword")).toString();
    s.httpSign = ini.value(QStringLiteral("Server/HttpSign")).toString();
    s.disconnectTimes = disconnectTimesFrom(ini);

    ServerContext &ctx = ServerContext::instance();
    ctx.isHaveUserType = iniSwitchOn(ini.value(QStringLiteral("Server/isHaveUserType")));
    ctx.isControl = iniSwitchOn(ini.value(QStringLiteral("Server/isControl")));
    ctx.bRemote = iniSwitchOn(ini.value(QStringLiteral("Setting/bRemote")));
    ctx.setNetName(ini.value(QStringLiteral("System/NetName")).toString());
    return s;
}

int readDisconnectTimes(const QString &path)
{
    QSettings ini(iniPath(path), QSettings::IniFormat);
    ini.setIniCodec("GBK");
    return disconnectTimesFrom(ini);
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
    ServerContext::instance().setNetName(name);
}
