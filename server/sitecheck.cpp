#include "server/sitecheck.h"

#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "config/controllerstore.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "http/httplistenersettings.h"
#include "gateways/httpmanager.h"
#include "remote/dc09events.h"
#include "server/dc09service.h"
#include "panels/panelmodel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTextCodec>
#include <QUdpSocket>

#include <algorithm>
#include <climits>
#include <utility>

QString SiteFinding::line() const
{
    static const char *const names[] = {"ok", "warning", "error"};
    return QString::fromLatin1(names[level]) + QStringLiteral(": ") + text;
}

namespace {

// The readers report what they find as log warnings; while the check runs
// those become findings and nothing else of the log reaches the terminal.
class WarningCapture
{
public:
    WarningCapture() { m_previous = qInstallMessageHandler(handler); current() = this; }
    ~WarningCapture()
    {
        current() = nullptr;
        qInstallMessageHandler(m_previous);
    }
    static WarningCapture *&current() { static WarningCapture *c = nullptr; return c; }
    // What was warned since the last take.
    QStringList take() { return std::exchange(m_lines, QStringList()); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
    {
        if (current() && (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg))
            current()->m_lines << msg;
    }
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

QStringList takeWarnings()
{
    return WarningCapture::current() ? WarningCapture::current()->take() : QStringList();
}

// Every key of config.ini the server reads, with the type its reader expects.
enum class IniType { Bool, Int, Port, Text, Path };
struct IniKey
{
    const char *key;
    IniType type;
    int min = 0;
    int max = INT_MAX;
};
const IniKey kIniKeys[] = {
    {"System/NetName", IniType::Text},
    {"Server/isHaveNB", IniType::Bool},
    {"Server/isHaveModbus", IniType::Bool},
    {"Server/isHaveHttp", IniType::Bool},
    {"Server/httpIP", IniType::Text},
    {"Server/HttpSubname", IniType::Text},
    {"Server/HttpUsername", IniType::Text},
    {"Server/HttpPassword", IniType::Text},
    {"Server/HttpSign", IniType::Text},
    {"Server/isHaveUserType", IniType::Bool},
    {"Server/isControl", IniType::Bool},
    {"Server/eventsWithoutLogin", IniType::Bool},
    {"Server/maxConnectionsPerAddress", IniType::Int, 1},
    {"Server/maxConnections", IniType::Int, 1},
    {"Server/logEncoding", IniType::Text},
    {"Server/logKeepDays", IniType::Int, 0},
    {"Server/metricsPort", IniType::Port, 0, 65535},
    {"Server/metricsHost", IniType::Text},
    {"Mqtt/enabled", IniType::Bool},
    {"Mqtt/host", IniType::Text},
    {"Mqtt/port", IniType::Port, 1, 65535},
    {"Mqtt/clientId", IniType::Text},
    {"Mqtt/username", IniType::Text},
    {"Mqtt/password", IniType::Text},
    {"Mqtt/caFile", IniType::Path},
    {"Mqtt/certFile", IniType::Path},
    {"Mqtt/keyFile", IniType::Path},
    {"Mqtt/topicPrefix", IniType::Text},
    {"Mqtt/qos", IniType::Int, 0, 2},
    {"Mqtt/keepAlive", IniType::Int, 5, 65535},
    {"Mqtt/allowCommands", IniType::Bool},
    {"History/enabled", IniType::Bool},
    {"History/keepDays", IniType::Int, 1},
    {"History/maxBacklog", IniType::Int, 1000},
    {"Arc/enabled", IniType::Bool},
    {"Arc/account", IniType::Text},
    {"Arc/receiver", IniType::Text},
    {"Arc/line", IniType::Text},
    {"Arc/format", IniType::Text},
    {"Arc/key", IniType::Text},
    {"Arc/keyFormat", IniType::Text},
    {"Arc/primary", IniType::Text},
    {"Arc/backup", IniType::Text},
    {"Arc/transport", IniType::Text},
    {"Arc/ackTimeout", IniType::Int, 1, 300},
    {"Arc/retries", IniType::Int, 0, 10},
    {"Arc/retryInterval", IniType::Int, 1, 10},
    {"Arc/supervision", IniType::Int, 0, 86400},
    {"Web/host", IniType::Text},
    {"Web/port", IniType::Port, 0, 65535},
    {"Web/certFile", IniType::Path},
    {"Web/keyFile", IniType::Path},
    {"Web/sessionMinutes", IniType::Int, 1, 1440},
    {"Web/maxSessions", IniType::Int, 1, 1000},
    {"Setting/bRemote", IniType::Bool},
    {"Com/disconnectTimes", IniType::Int, 1},
};

const IniKey *findIniKey(const QString &key)
{
    for (const IniKey &k : kIniKeys) {
        if (key == QLatin1String(k.key))
            return &k;
    }
    return nullptr;
}

// The reader gives no line numbers: where each "Group/key" stands in the
// file, found the way the INI format lays it out.
QHash<QString, int> iniLines(const QString &path)
{
    QHash<QString, int> lines;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    const QString text = QTextCodec::codecForName("GBK")->toUnicode(f.readAll());
    static const QRegularExpression group(QStringLiteral("^\\s*\\[(.*)\\]\\s*$"));
    static const QRegularExpression key(QStringLiteral("^\\s*([^;#=\\s][^=]*?)\\s*="));
    QString prefix;
    int n = 0;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        ++n;
        QRegularExpressionMatch m = group.match(line);
        if (m.hasMatch()) {
            const QString name = m.captured(1).trimmed();
            prefix = name.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0 ? QString() : name + '/';
            continue;
        }
        // A key written twice takes its last value, as the reader does.
        m = key.match(line);
        if (m.hasMatch())
            lines.insert(prefix + m.captured(1), n);
    }
    return lines;
}

QString valueText(const QVariant &v)
{
    // The INI reader splits an unquoted value at its commas.
    return v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
}

// What is wrong with a value of this type; empty when it is sound.
QString typeProblem(const IniKey &k, const QString &value)
{
    const QString v = value.trimmed();
    if (v.isEmpty())
        return QString(); // the default is taken
    bool ok = false;
    const int n = v.toInt(&ok);
    switch (k.type) {
    case IniType::Bool:
        return v == QLatin1String("0") || v == QLatin1String("1")
                   ? QString()
                   : QStringLiteral("\"%1\" is not 0 or 1; the server takes it as off").arg(v);
    case IniType::Int:
    case IniType::Port:
        if (!ok)
            return QStringLiteral("\"%1\" is not a %2; the default is taken")
                .arg(v, k.type == IniType::Port ? QStringLiteral("port") : QStringLiteral("whole number"));
        if (n < k.min || n > k.max)
            return QStringLiteral("%1 is outside %2..%3; the default is taken")
                .arg(n).arg(k.min).arg(k.max == INT_MAX ? QString() : QString::number(k.max));
        return QString();
    case IniType::Path: {
        const QString path = QDir::isAbsolutePath(v) ? v : AppPaths::file(v);
        return QFileInfo(path).isReadable() ? QString() : QStringLiteral("%1 cannot be read").arg(path);
    }
    case IniType::Text:
        break;
    }
    return QString();
}

bool portFree(const QString &host, quint16 port, bool udp)
{
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
    if (udp) {
        QUdpSocket s;
        return s.bind(address, port);
    }
    QTcpServer s;
    return s.listen(address, port);
}

} // namespace

SiteCheck::SiteCheck(const QString &appDir, const FireServer::Options &ports)
    : m_dir(QDir(appDir).absolutePath()), m_ports(ports)
{
}

int SiteCheck::exitCode(const QList<SiteFinding> &findings)
{
    int worst = SiteFinding::Ok;
    for (const SiteFinding &f : findings)
        worst = qMax(worst, int(f.level));
    return worst;
}

void SiteCheck::addAll(SiteFinding::Level level, const QString &file, const QStringList &texts)
{
    for (const QString &t : texts)
        add(level, file + QStringLiteral(": ") + t);
}

QList<SiteFinding> SiteCheck::run()
{
    m_findings.clear();
    WarningCapture capture;
    AppPaths::setAppDir(m_dir);
    checkDirectory();
    checkIni();
    checkTables();
    checkControllers();
    checkAccounts();
    checkHttpConfig();
    checkPorts();
    return m_findings;
}

void SiteCheck::checkDirectory()
{
    const QFileInfo dir(m_dir);
    if (!dir.isDir()) {
        add(SiteFinding::Error, QStringLiteral("%1 is not a directory").arg(m_dir));
        return;
    }
    // The database, the journals and the account file are written here.
    if (!dir.isWritable())
        add(SiteFinding::Error, QStringLiteral("%1 is not writable for this user: settings, accounts and "
                                               "waiting events could not be stored").arg(m_dir));
    if (!QFileInfo(AppPaths::file(QStringLiteral("Log"))).isDir())
        add(SiteFinding::Ok, QStringLiteral("no Log/ directory: the server keeps no daily log file"));
}

void SiteCheck::checkIni()
{
    const QString file = QStringLiteral("config.ini");
    const QString path = AppPaths::file(file);
    if (!QFileInfo::exists(path)) {
        add(SiteFinding::Warning, QStringLiteral("config.ini missing: every key takes its default"));
        ServerContext::instance().loadIni(path);
        return;
    }
    {
        QSettings probe(path, QSettings::IniFormat);
        if (probe.status() != QSettings::NoError)
            add(SiteFinding::Warning, QStringLiteral("config.ini: not entirely readable as an INI file"));
    }
    ServerContext &ctx = ServerContext::instance();
    ctx.loadIni(path);
    const QHash<QString, int> lines = iniLines(path);
    const auto where = [&](const QString &key) {
        const int line = lines.value(key);
        return line ? QStringLiteral("%1 line %2: %3").arg(file).arg(line).arg(key)
                    : QStringLiteral("%1: %2").arg(file, key);
    };
    static const QRegularExpression comName(QStringLiteral("^COM[1-9]\\d*$"), QRegularExpression::CaseInsensitiveOption);
    QStringList keys = ctx.iniKeys();
    std::sort(keys.begin(), keys.end(), [&](const QString &a, const QString &b) { return lines.value(a) < lines.value(b); });
    for (const QString &key : keys) {
        const QString value = valueText(ctx.iniValue(key));
        if (key.startsWith(QLatin1String("SerialPorts/"), Qt::CaseInsensitive)) {
            if (!comName.match(key.mid(12)).hasMatch())
                add(SiteFinding::Warning, where(key) + QStringLiteral(": not COM<n>, never looked up"));
            continue;
        }
        const IniKey *known = findIniKey(key);
        if (!known) {
            QString hint;
            for (const IniKey &k : kIniKeys) {
                if (key.compare(QLatin1String(k.key), Qt::CaseInsensitive) == 0)
                    hint = QStringLiteral(" (did you mean %1?)").arg(QLatin1String(k.key));
            }
            add(SiteFinding::Warning, where(key) + QStringLiteral(": unknown key, ignored") + hint);
            continue;
        }
        const QString problem = typeProblem(*known, value);
        if (!problem.isEmpty())
            add(SiteFinding::Warning, where(key) + QStringLiteral(": ") + problem);
    }
    add(SiteFinding::Ok, QStringLiteral("config.ini: %1 keys read").arg(keys.size()));
}

void SiteCheck::checkTables()
{
    // Without the tables every event goes out nameless and panels of
    // unknown types are taken as serial: the site is broken.
    ConfigTables &tables = ConfigTables::instance();
    if (tables.loadEventTable())
        add(SiteFinding::Ok, QStringLiteral("EventConfig.xml: %1 events in %2 device classes")
                                 .arg(tables.events().size()).arg(tables.eventClasses().size()));
    addAll(SiteFinding::Error, QStringLiteral("EventConfig.xml"), takeWarnings());
    if (tables.loadSystemTypes())
        add(SiteFinding::Ok, QStringLiteral("SysSet.xml: %1 system types").arg(tables.systemTypes().size()));
    addAll(SiteFinding::Error, QStringLiteral("SysSet.xml"), takeWarnings());
    checkArc();
}

void SiteCheck::checkArc()
{
    // A transmission that cannot start, or sends nothing, is found on site, not at the centre.
    Dc09Service::Settings settings;
    QString error;
    if (!Dc09Service::settingsFromIni(&settings, &error)) {
        if (!error.isEmpty())
            add(SiteFinding::Warning, QStringLiteral("config.ini: %1; the DC-09 transmission stays off").arg(error));
        return;
    }
    Dc09::CodeTable codes;
    if (codes.load(m_dir + QStringLiteral("/ArcCodes.xml"), &error))
        add(SiteFinding::Ok, QStringLiteral("ArcCodes.xml: read"));
    else
        add(SiteFinding::Warning, QStringLiteral("%1: only supervision would be sent").arg(error));
}

void SiteCheck::checkControllers()
{
    const QString name = ControllerStore::selectDatabaseFile(m_dir);
    if (name.isEmpty()) {
        add(SiteFinding::Ok, QStringLiteral("no settings database: the server creates %1 without controllers")
                                 .arg(QLatin1String(ControllerStore::SqliteFileName)));
        return;
    }
    if (name.contains(QLatin1String("mdb"), Qt::CaseInsensitive)) {
        add(SiteFinding::Warning, QStringLiteral("%1: an Access database, not checked here").arg(name));
        return;
    }
    // Opened as the server opens it, but read-only: the check must not add
    // the table the server would create.
    QString unreadable;
    bool hasTable = false;
    if (ControllerStore::openDatabase(name, true)) {
        const QSqlDatabase &db = ServerContext::instance().database;
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("select name from sqlite_master")))
            unreadable = probe.lastError().text();
        hasTable = db.tables().contains(QStringLiteral("ServerControllerInfo"), Qt::CaseInsensitive);
    } else {
        unreadable = takeWarnings().join(QLatin1String("; "));
    }
    if (!unreadable.isEmpty() || !hasTable) {
        ControllerStore::closeDatabase();
        if (!unreadable.isEmpty())
            add(SiteFinding::Error, QStringLiteral("%1: not a readable SQLite database (%2); the server would run "
                                                   "without controllers").arg(name, unreadable));
        else
            add(SiteFinding::Warning, QStringLiteral("%1: no table ServerControllerInfo; the server adds it "
                                                     "and runs without controllers").arg(name));
        return;
    }
    const QList<ControllerInfo> rows = ControllerStore::readControllers(&PanelModels::isNetworkType);
    addAll(SiteFinding::Warning, name, takeWarnings());
    ControllerStore::closeDatabase();
    add(SiteFinding::Ok, QStringLiteral("%1: %2 controllers").arg(name).arg(rows.size()));
    const ServerContext &ctx = ServerContext::instance();
    for (const ControllerInfo &info : rows) {
        const QString who = QStringLiteral("controller %1 (%2)").arg(info.controllerId).arg(info.name);
        if (!PanelModels::forType(info.controllerType)) {
            add(SiteFinding::Warning, QStringLiteral("%1: type %2 has no driver; it is not opened")
                                          .arg(who).arg(info.controllerType));
            continue;
        }
        if (info.isNetwork)
            continue;
        const QString com = QStringLiteral("COM%1").arg(info.comPort);
        const QString device = ctx.serialDevicePath(com);
        const QFileInfo dev(device);
        QString problem;
        if (!dev.exists())
            problem = QStringLiteral("missing");
        else if (!dev.isReadable() || !dev.isWritable())
            problem = QStringLiteral("not readable and writable for this user (the service runs in group dialout)");
        if (problem.isEmpty())
            add(SiteFinding::Ok, QStringLiteral("%1: %2 is %3").arg(who, com, device));
        else
            add(SiteFinding::Warning, QStringLiteral("%1: %2 is %3, %4; the panel is reported lost")
                                          .arg(who, com, device, problem));
    }
}

void SiteCheck::checkAccounts()
{
    const QString path = ClientAccounts::defaultPath();
    const QString file = QFileInfo(path).fileName();
    QFile f(path);
    if (!f.exists()) {
        add(SiteFinding::Ok, QStringLiteral("no %1: no client can log in until the console adds an account").arg(file));
        return;
    }
    QByteArray plain;
    if (!f.open(QIODevice::ReadOnly) || !ClientAccounts::decode(f.readAll(), &plain)) {
        // The server's stop saves the (then empty) table over it.
        add(SiteFinding::Error, QStringLiteral("%1 cannot be read or decoded: the server would start without "
                                               "accounts and replace the file with an empty one when it stops")
                                    .arg(file));
        return;
    }
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.parsePlainText(plain);
    addAll(SiteFinding::Warning, file, takeWarnings());
    add(SiteFinding::Ok, QStringLiteral("%1: %2 accounts").arg(file).arg(accounts.count()));
    accounts.clear();
}

void SiteCheck::checkHttpConfig()
{
    const bool wanted = ServerContext::instance().iniSwitch(QStringLiteral("Server/isHaveNB"));
    const QString path = HttpManager::findConfigFile();
    takeWarnings(); // where it looked in vain: only the outcome matters
    if (path.isEmpty()) {
        if (wanted)
            add(SiteFinding::Warning, QStringLiteral("httpConfig.ini not found: Server/isHaveNB=1 but the NB-IoT "
                                                     "receiver does not run"));
        return;
    }
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("listener"));
    const HttpListenerSettings s = HttpListenerSettings::fromSettings(settings);
    const QString where = QStringLiteral("httpConfig.ini (%1)").arg(path);
    if (settings.status() != QSettings::NoError)
        add(SiteFinding::Warning, where + QStringLiteral(": not entirely readable as an INI file"));
    if (s.port == 0)
        add(wanted ? SiteFinding::Warning : SiteFinding::Ok, where + QStringLiteral(": listener port missing or 0"));
    for (const QString &tls : {s.sslKeyFile, s.sslCertFile}) {
        if (!tls.isEmpty() && !QFileInfo(tls).isReadable())
            add(SiteFinding::Warning, where + QStringLiteral(": %1 cannot be read, TLS stays off").arg(tls));
    }
    add(SiteFinding::Ok, where + QStringLiteral(": listener %1:%2%3")
                                     .arg(s.host.isEmpty() ? QStringLiteral("*") : s.host).arg(s.port)
                                     .arg(wanted ? QString() : QStringLiteral(" (not used: Server/isHaveNB is off)")));
    if (wanted) {
        m_httpPort = s.port;
        m_httpHost = s.host;
    }
}

void SiteCheck::checkPorts()
{
    const ServerContext &ctx = ServerContext::instance();
    struct Listener
    {
        QString what;
        QString host;
        quint16 port;
        bool udp;
        SiteFinding::Level ifTaken;
    };
    // The centre port is also the guard against a second server: taken,
    // the server does not start. Without the client port no client is served.
    QList<Listener> listeners{
        {QStringLiteral("centre port"), QString(), m_ports.centrePort, false, SiteFinding::Error},
        {QStringLiteral("client port"), QString(), m_ports.clientPort, false, SiteFinding::Error},
        {QStringLiteral("query port"), QString(), m_ports.queryPort, false, SiteFinding::Warning},
    };
    int metrics = m_ports.metricsPort;
    if (metrics < 0)
        metrics = ctx.iniInt(QStringLiteral("Server/metricsPort"), 0);
    if (metrics > 0 && metrics <= 65535) {
        const QString host = ctx.iniValue(QStringLiteral("Server/metricsHost")).toString().trimmed();
        listeners.append({QStringLiteral("metrics port"), host.isEmpty() ? QStringLiteral("127.0.0.1") : host,
                          quint16(metrics), false, SiteFinding::Warning});
    }
    if (ctx.iniSwitch(QStringLiteral("Server/isHaveModbus")))
        listeners.append({QStringLiteral("Modbus port (UDP)"), QString(), m_ports.modbusPort, true, SiteFinding::Warning});
    if (m_httpPort)
        listeners.append({QStringLiteral("NB-IoT HTTP port"), m_httpHost, m_httpPort, false, SiteFinding::Warning});
    for (const Listener &l : listeners) {
        const QString text = QStringLiteral("%1 %2%3").arg(l.what).arg(l.port)
                                 .arg(l.host.isEmpty() ? QString() : QStringLiteral(" on ") + l.host);
        if (portFree(l.host, l.port, l.udp))
            add(SiteFinding::Ok, text + QStringLiteral(" free"));
        else
            add(l.ifTaken, text + (l.ifTaken == SiteFinding::Error
                                       ? QStringLiteral(" taken (another server runs?): the server would not serve it")
                                       : QStringLiteral(" taken: that service would not run")));
    }
}
