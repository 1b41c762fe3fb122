#pragma once
// The process-wide object that several components consult: the INI
// switches, the server's own address and the remote-centre link state.

#include <QDateTime>
#include <QHostAddress>
#include <QMap>
#include <QMutex>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class ServerContext
{
public:
    static ServerContext &instance();

    QSqlDatabase database;
    QDateTime remoteDropTime;
    bool remoteAccept = false;
    // Guards remoteQueues and remoteLinkCount; taken by the remote workers.
    QMutex *remoteQueueLock = nullptr;
    int remoteLinkCount = 0;
    bool remoteLinkOk = false;
    bool bRemote = false;
    // Outgoing lines per connected centre, keyed by the centre's connection id.
    QMap<int, QStringList> remoteQueues;
    QString netName;
    QHostAddress serverAddress = QHostAddress(QHostAddress::LocalHost);
    bool isHaveUserType = false;
    bool isControl = false;

    // Sets netName and derives serverAddress from it.
    void setNetName(const QString &name);

private:
    ServerContext() = default;
};

// The switches of config.ini that belong to the window/server object rather
// than to ServerContext.
struct IniSwitches
{
    bool isHaveNB = false;
    bool isHaveModbus = false;
    bool isHaveHttp = false;
    QString httpIP;
    QString httpSubname;
    QString httpUsername;
    QString httpPassword;
    QString httpSign;
    int disconnectTimes = 30;
};

// A switch is on only for the value exactly 1; anything else (2, text,
// missing) is off.
bool iniSwitchOn(const QVariant &value);

// Reads config.ini from the application directory once at start-up: fills
// ServerContext and returns the remaining switches.
IniSwitches readIniConfig(const QString &path = QString());

// "Com/disconnectTimes" (30 when missing or not a number); read by drivers.
int readDisconnectTimes(const QString &path = QString());

// First IPv4 address of the first interface whose human-readable name is
// netName; 127.0.0.1 when the name is empty or nothing matches.
QHostAddress deriveServerAddress(const QString &netName);

// Writes "System/NetName" back (controller dialog) and updates the context.
void writeNetName(const QString &name, const QString &path = QString());
