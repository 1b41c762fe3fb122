#pragma once
// The process-wide object that several components consult: the switches of
// config.ini (read once at start-up; a service reads its own keys through
// iniValue), the server's own address and the
// remote-centre link state.

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QMutex>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

class ServerContext
{
public:
    static ServerContext &instance();

    QSqlDatabase database;
    // The centre link fields below are written by RemoteServer in the main
    // thread (its workers report by queued signals) and read there too.
    QDateTime remoteDropTime;
    bool remoteAccept = false;
    // Guards remoteQueues; taken by RemoteServer and its workers.
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
    // Events reach connections that never logged in (display boards).
    bool eventsWithoutLogin = false;
    // Failed polls before a driver reports its panel lost (Com/disconnectTimes).
    int disconnectTimes = 30;

    // Reads config.ini (GBK; default: the application directory's) into the
    // fields above and keeps every value for the services' own groups. The
    // server calls it once at start-up, before any driver exists; a missing
    // file leaves every default. Main thread only.
    void loadIni(const QString &path = QString());
    // loadIni unless the file is the one already read, unchanged since
    // (main reads it before the log handler starts; the server object
    // then finds it read).
    void loadIniIfChanged(const QString &path = QString());
    // A value of the file as read, by "Group/key"; defaultValue when absent.
    QVariant iniValue(const QString &key, const QVariant &defaultValue = QVariant()) const;
    // A switch of the file: on only for exactly 1.
    bool iniSwitch(const QString &key) const;
    // An integer of the file; defaultValue when absent or not a number.
    int iniInt(const QString &key, int defaultValue) const;
    // An integer between min and max; outside them defaultValue, with a
    // warning that names the key.
    int iniInt(const QString &key, int defaultValue, int min, int max) const;
    // A text of the file, whole (the reader splits an unquoted value at its
    // commas; this joins it again); defaultValue when absent.
    QString iniText(const QString &key, const QString &defaultValue = QString(), bool trim = true) const;
    // Every "Group/key" the file held, as the reader spelt it.
    QStringList iniKeys() const { return m_ini.keys(); }

    // Device path of a serial name such as "COM3": the file's SerialPorts/COM3
    // if mapped (a relative path is taken from the application directory),
    // else /dev/ttyS2. Names that are not COM<n> are returned as they are.
    QString serialDevicePath(const QString &comName) const;
    // The SerialPorts group as read: "COM<n>" (upper case) -> path as written.
    const QMap<QString, QString> &serialPorts() const { return m_serialPorts; }

    // Sets netName and derives serverAddress from it.
    void setNetName(const QString &name);

private:
    friend void writeNetName(const QString &name, const QString &path);
    ServerContext() = default;
    QHash<QString, QVariant> m_ini;          // written by loadIni only
    QString m_iniPath;                       // what loadIni read, and its state then
    QDateTime m_iniModified;
    qint64 m_iniSize = -1;
    QMap<QString, QString> m_serialPorts;    // written by loadIni only
};

// A switch is on only for the value exactly 1; anything else (2, text,
// missing) is off.
bool iniSwitchOn(const QVariant &value);

// First IPv4 address of the first interface whose human-readable name is
// netName; 127.0.0.1 when the name is empty or nothing matches.
QHostAddress deriveServerAddress(const QString &netName);

// Writes "System/NetName" back (controller dialog) and updates the context.
void writeNetName(const QString &name, const QString &path = QString());
