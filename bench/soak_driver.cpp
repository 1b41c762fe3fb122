// soak_driver: the clients, the NB-IoT and Modbus senders and the event
// counters of scripts/soak.sh. Loopback only.
//
//   soak_driver accounts DIR N   writes DIR/FireServerInfo.cfg with the
//                                "Remote" accounts soak1..soakN (password =
//                                name); the site needs Server/isHaveUserType=1
//   soak_driver free-port        prints a free loopback TCP port
//   soak_driver run OPTIONS      see --help of the run mode
//
// The run mode logs N clients in from 127.0.0.10 upwards (50 per address,
// below the server's per-address bound) and prints "ready" once all are in.
// SIGUSR2 starts the NB-IoT posts and Modbus datagrams (the script starts
// the panels at the same moment), SIGUSR1 stops them. On SIGTERM it reads what the panels sent (--sources), the centre's lines
// (--centre-log) and the MQTT subscriber's lines (--mqtt-log, optional),
// prints the counts and exits 0 when nothing was lost, else 1.
//
// Every source emits only events that must each arrive: alarm/restore
// pairs of a device, the restore a few seconds after its alarm, so the
// dispatcher neither suppresses a repeat nor cancels a waiting alarm.

#include "clients/clientaccounts.h"
#include "clients/jsonsplitter.h"
#include "core/signalwatcher.h"
#include "tools/sim/usersignal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString NbPrefix = QStringLiteral("8699000000000"); // + two digits: a 15-digit dev_id
const QString ModbusPrefix = QStringLiteral("SOAKMB");     // + three digits (the address) + "XYZ"
constexpr int ClientsPerAddress = 50;
constexpr int GatewayDevices = 8;   // each sender rotates over these
constexpr int RestoreAfterTicks = 4; // a device's restore follows its alarm this many ticks later

QString accountName(int n) { return QStringLiteral("soak%1").arg(n); }

// What a client counts of one NewEvent: the source it came from, or a
// communication event, or anything else.
struct Classified
{
    enum Kind { Source, CommLost, CommOther, Other };
    Kind kind = Other;
    QString source;
};

Classified classify(const QJsonObject &o)
{
    Classified c;
    const QString code = o.value(QLatin1String("m")).toString();
    const int eventClass = o.value(QLatin1String("f")).toInt();
    if (code.startsWith(NbPrefix)) {
        c.kind = Classified::Source;
        c.source = QStringLiteral("nbiot");
    } else if (code.startsWith(ModbusPrefix)) {
        c.kind = Classified::Source;
        c.source = QStringLiteral("modbus");
    } else if (eventClass >= 1 && eventClass <= 8) {
        c.kind = Classified::Source;
        c.source = QStringLiteral("panel %1").arg(o.value(QLatin1String("d")).toInt());
    } else if (eventClass == 17) {
        c.kind = o.value(QLatin1String("h")).toInt() == 1 ? Classified::CommLost : Classified::CommOther;
    }
    return c;
}

class SoakClient : public QObject
{
public:
    SoakClient(int number, const QHostAddress &local, quint16 port, QObject *parent)
        : QObject(parent), m_nNumber(number)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            const QJsonObject login{{"b", "LOGIN"}, {"t", accountName(m_nNumber)}, {"u", accountName(m_nNumber)}};
            m_socket.write(QJsonDocument(login).toJson(QJsonDocument::Indented));
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { onRead(); });
        connect(&m_socket, &QTcpSocket::disconnected, this, [this] { m_bLost = true; });
        if (!m_socket.bind(local, 0))
            std::fprintf(stderr, "soak: client %d cannot bind %s: %s\n", number, qPrintable(local.toString()),
                         qPrintable(m_socket.errorString()));
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    // Any message resets the server's missed-beat count of this connection.
    void keepAlive()
    {
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            m_socket.write("{\n    \"b\": \"DATARECEIVED\"\n}\n");
    }

    bool loggedIn() const { return m_bLoggedIn; }
    bool refused() const { return m_bRefused; }
    bool lost() const { return m_bLost; }
    int count(const QString &source) const { return m_counts.value(source); }
    // Communication-lost events that arrived while the sources were running.
    int commLost() const { return m_nCommLost; }
    int others() const { return m_nOther; }
    void setSourcesRunning(bool on) { m_bRunning = on; }

private:
    void onRead()
    {
        m_buffer += m_socket.readAll();
        for (;;) {
            const JsonSplitter::Result r = m_splitter.next(m_buffer);
            m_buffer.remove(0, r.consumed);
            if (r.status == JsonSplitter::Invalid)
                continue;
            if (r.status != JsonSplitter::Complete)
                break;
            const QJsonObject o = QJsonDocument::fromJson(r.object).object();
            const QString word = o.value(QLatin1String("b")).toString();
            if (word == QLatin1String("LogOK_Mulsys")) {
                m_bLoggedIn = true;
            } else if (word == QLatin1String("LogFailed")) {
                m_bRefused = true;
            } else if (word == QLatin1String("NewEvent")) {
                const Classified c = classify(o);
                if (c.kind == Classified::Source)
                    ++m_counts[c.source];
                else if (c.kind == Classified::CommLost && m_bRunning)
                    ++m_nCommLost;
                else if (c.kind == Classified::Other)
                    ++m_nOther;
            }
        }
    }

    int m_nNumber;
    QTcpSocket m_socket;
    QByteArray m_buffer;
    JsonSplitter m_splitter;
    bool m_bLoggedIn = false;
    bool m_bRefused = false;
    bool m_bLost = false;
    bool m_bRunning = false;
    QHash<QString, int> m_counts;
    int m_nCommLost = 0;
    int m_nOther = 0;
};

// NB-IoT posts and Modbus datagrams: on tick n, the alarm of device
// n % 8 and the restore of the device whose alarm went out 4 ticks ago.
class GatewaySenders : public QObject
{
public:
    GatewaySenders(quint16 httpPort, quint16 modbusPort, int tickMs, QObject *parent)
        : QObject(parent), m_nHttpPort(httpPort), m_nModbusPort(modbusPort)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.setInterval(tickMs);
    }
    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }

    int nbPosted() const { return m_nNbPosted; }
    int nbAnswered() const { return m_nNbAnswered; }
    int nbFailed() const { return m_nNbFailed; }
    int modbusSent() const { return m_nModbusSent; }
    int modbusFailed() const { return m_nModbusFailed; }

private:
    void tick()
    {
        send(m_nTick % GatewayDevices, true);
        if (m_nTick >= RestoreAfterTicks)
            send((m_nTick - RestoreAfterTicks) % GatewayDevices, false);
        ++m_nTick;
    }

    void send(int device, bool alarm)
    {
        if (m_nHttpPort)
            post(device, alarm);
        if (m_nModbusPort) {
            const QByteArray datagram = QStringLiteral("{\"msg\":\"%1%2XYZ\",\"type\":%3}")
                                            .arg(ModbusPrefix).arg(device + 1, 3, 10, QLatin1Char('0'))
                                            .arg(alarm ? 0 : 1).toUtf8();
            if (m_udp.writeDatagram(datagram, QHostAddress::LocalHost, m_nModbusPort) == datagram.size())
                ++m_nModbusSent;
            else
                ++m_nModbusFailed;
        }
    }

    void post(int device, bool alarm)
    {
        // A fault and the device coming back online: the restore of number 7.
        const QJsonObject content{{"dev_id", NbPrefix + QStringLiteral("%1").arg(device, 2, 10, QLatin1Char('0'))},
                                  {"eve_time", QDateTime::currentSecsSinceEpoch()}};
        const QJsonObject body{{"msg_type", alarm ? "dev_fault" : "dev_online"},
                               {"msg_stamp", QDateTime::currentSecsSinceEpoch()},
                               {"msg_content", content}};
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/postData").arg(m_nHttpPort)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *reply = m_http.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        ++m_nNbPosted;
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            const QJsonObject ack = QJsonDocument::fromJson(reply->readAll()).object();
            if (reply->error() == QNetworkReply::NoError && ack.value(QLatin1String("err_code")).toInt(-1) == 0) {
                ++m_nNbAnswered;
            } else {
                ++m_nNbFailed;
                std::fprintf(stderr, "soak: NB-IoT post failed: %s\n", qPrintable(reply->errorString()));
            }
            reply->deleteLater();
        });
    }

    quint16 m_nHttpPort;
    quint16 m_nModbusPort;
    QTimer m_timer;
    QNetworkAccessManager m_http;
    QUdpSocket m_udp;
    int m_nTick = 0;
    int m_nNbPosted = 0;
    int m_nNbAnswered = 0;
    int m_nNbFailed = 0;
    int m_nModbusSent = 0;
    int m_nModbusFailed = 0;
};

struct SourceCount
{
    QString source; // "panel 3", "nbiot", "modbus"
    QString model;
    int emitted = -1;
};

// Lines "panel ID MODEL COUNT" of the soak script.
QList<SourceCount> readSources(const QString &path)
{
    QList<SourceCount> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "soak: cannot read the source counts %s\n", qPrintable(path));
        return out;
    }
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> w = line.simplified().split(' ');
        if (w.size() != 4 || w.at(0) != "panel")
            continue;
        bool ok = false;
        const int n = w.at(3).toInt(&ok);
        out.append({QStringLiteral("panel %1").arg(QString::fromLatin1(w.at(1))), QString::fromLatin1(w.at(2)),
                    ok ? n : -1});
    }
    return out;
}

// Device lines per panel number, from fire-centre's output: a line is
// kind||system||text||time||address||panel||0, and kind "DeviceData" marks
// the device classes.
QHash<QString, int> readCentre(const QString &path)
{
    QHash<QString, int> out;
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('|');
        // "||" separators: the fields are at the even positions.
        if (fields.size() >= 11 && fields.at(0) == "DeviceData")
            ++out[QStringLiteral("panel %1").arg(QString::fromUtf8(fields.at(10)))];
    }
    return out;
}

// Distinct "seq" numbers of the events a subscriber printed, one payload a line.
int readMqtt(const QString &path, bool *present)
{
    QFile f(path);
    *present = !path.isEmpty() && f.open(QIODevice::ReadOnly);
    if (!*present)
        return 0;
    QSet<qint64> seqs;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains(QLatin1String("seq")))
            seqs.insert(qint64(o.value(QLatin1String("seq")).toDouble()));
    }
    return seqs.size();
}

int writeAccounts(const QString &dir, int count)
{
    QByteArray plain;
    for (int n = 1; n <= count; ++n)
        plain += QStringLiteral("user|%1|%1|Remote\n").arg(accountName(n)).toUtf8();
    plain += "ClientConnect|1\nPassWord|pqz\n";
    QFile f(dir + QStringLiteral("/FireServerInfo.cfg"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(ClientAccounts::encode(plain)) < 0) {
        std::fprintf(stderr, "soak: cannot write %s\n", qPrintable(f.fileName()));
        return 1;
    }
    return 0;
}

int printFreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%u\n", unsigned(probe.serverPort()));
    return 0;
}

struct RunOptions
{
    int clients = 200;
    quint16 clientPort = 5999;
    quint16 httpPort = 0;    // 0: no NB-IoT posts
    quint16 modbusPort = 0;  // 0: no Modbus datagrams
    int tickMs = 1000;
    QString sources;
    QString centreLog;
    QString mqttLog;
};

class Run : public QObject
{
public:
    explicit Run(const RunOptions &o) : m_o(o), m_senders(o.httpPort, o.modbusPort, o.tickMs, this)
    {
        for (int n = 1; n <= o.clients; ++n) {
            const QHostAddress local(QStringLiteral("127.0.0.%1").arg(10 + (n - 1) / ClientsPerAddress));
            m_clients.emplace_back(new SoakClient(n, local, o.clientPort, this));
        }
        connect(&m_beat, &QTimer::timeout, this, [this] {
            for (auto &c : m_clients)
                c->keepAlive();
        });
        m_beat.start(4000);
        connect(&m_poll, &QTimer::timeout, this, [this] { checkReady(); });
        m_poll.start(200);
        m_deadline.start();
    }

    void startSources()
    {
        m_senders.start();
        for (auto &c : m_clients)
            c->setSourcesRunning(true);
        std::printf("soak: gateway senders started\n");
        std::fflush(stdout);
    }

    void stopSources()
    {
        m_senders.stop();
        for (auto &c : m_clients)
            c->setSourcesRunning(false);
        std::printf("soak: gateway senders stopped: NB-IoT %d posted, Modbus %d sent\n", m_senders.nbPosted(),
                    m_senders.modbusSent());
        std::fflush(stdout);
    }

    int report();

private:
    void checkReady()
    {
        const int in = int(std::count_if(m_clients.begin(), m_clients.end(), [](auto &c) { return c->loggedIn(); }));
        const int refused = int(std::count_if(m_clients.begin(), m_clients.end(), [](auto &c) { return c->refused(); }));
        if (in == int(m_clients.size())) {
            m_poll.stop();
            std::printf("ready: %d clients logged in\n", in);
            std::fflush(stdout);
        } else if (refused > 0 || m_deadline.elapsed() > 60000) {
            m_poll.stop();
            std::printf("soak: only %d of %zu clients logged in (%d refused)\n", in, m_clients.size(), refused);
            std::fflush(stdout);
            QCoreApplication::exit(2);
        }
    }

    RunOptions m_o;
    std::vector<std::unique_ptr<SoakClient>> m_clients;
    GatewaySenders m_senders;
    QTimer m_beat;
    QTimer m_poll;
    QElapsedTimer m_deadline;
};

int Run::report()
{
    QList<SourceCount> sources = readSources(m_o.sources);
    if (m_o.httpPort)
        sources.append({QStringLiteral("nbiot"), QStringLiteral("http"), m_senders.nbPosted()});
    if (m_o.modbusPort)
        sources.append({QStringLiteral("modbus"), QStringLiteral("udp"), m_senders.modbusSent()});
    const QHash<QString, int> centre = readCentre(m_o.centreLog);
    QStringList failures;

    std::printf("\nEvents at the sources and the sinks (%zu clients)\n", m_clients.size());
    std::printf("%-10s %-9s %8s %10s %10s %8s  %s\n", "source", "model", "emitted", "client min", "client max",
                "centre", "verdict");
    long totalEmitted = 0, totalMin = 0, totalMax = 0, totalCentre = 0, totalReceived = 0;
    for (const SourceCount &s : sources) {
        int lo = INT_MAX, hi = 0;
        for (auto &c : m_clients) {
            lo = std::min(lo, c->count(s.source));
            hi = std::max(hi, c->count(s.source));
            totalReceived += c->count(s.source);
        }
        const bool isPanel = s.source.startsWith(QLatin1String("panel"));
        const int atCentre = isPanel ? centre.value(s.source) : -1;
        QString verdict = QStringLiteral("ok");
        if (s.emitted <= 0)
            verdict = QStringLiteral("the source emitted nothing, or no count came");
        else if (lo != s.emitted || hi != s.emitted)
            verdict = QStringLiteral("clients differ from the source");
        else if (isPanel && !m_o.centreLog.isEmpty() && atCentre != s.emitted)
            verdict = QStringLiteral("centre differs from the source");
        if (verdict != QLatin1String("ok"))
            failures << s.source + QStringLiteral(": ") + verdict;
        std::printf("%-10s %-9s %8d %10d %10d %8s  %s\n", qPrintable(s.source), qPrintable(s.model), s.emitted, lo, hi,
                    isPanel ? qPrintable(QString::number(atCentre)) : "-", qPrintable(verdict));
        totalEmitted += qMax(0, s.emitted);
        totalMin += lo;
        totalMax += hi;
        if (isPanel)
            totalCentre += atCentre;
    }
    std::printf("%-10s %-9s %8ld %10ld %10ld %8ld\n", "total", "", totalEmitted, totalMin, totalMax, totalCentre);
    std::printf("NewEvent messages counted at the clients in all: %ld\n", totalReceived);

    bool mqttPresent = false;
    const int mqtt = readMqtt(m_o.mqttLog, &mqttPresent);
    if (mqttPresent) {
        const bool ok = mqtt >= totalEmitted;
        std::printf("MQTT: %d distinct events published (the sources emitted %ld): %s\n", mqtt, totalEmitted,
                    ok ? "ok" : "events missing");
        if (!ok)
            failures << QStringLiteral("MQTT: %1 events for %2 emitted").arg(mqtt).arg(totalEmitted);
    }

    int lost = 0, commLost = 0, others = 0;
    for (auto &c : m_clients) {
        lost += c->lost() ? 1 : 0;
        commLost += c->commLost();
        others += c->others();
    }
    std::printf("clients disconnected during the run: %d; communication-lost events before the stop: %d; "
                "other events (status, system): %d\n", lost, commLost, others);
    if (m_senders.nbFailed() || m_senders.modbusFailed())
        failures << QStringLiteral("%1 NB-IoT posts and %2 Modbus datagrams failed")
                        .arg(m_senders.nbFailed()).arg(m_senders.modbusFailed());
    if (lost)
        failures << QStringLiteral("%1 clients lost their connection").arg(lost);
    if (commLost)
        failures << QStringLiteral("%1 communication-lost events while the panels ran").arg(commLost);
    std::printf("rule: every event a source emitted arrives exactly once at every logged-in client, and every "
                "panel device event once at the centre\n");
    if (failures.isEmpty()) {
        std::printf("events: PASS\n");
        return 0;
    }
    std::printf("events: FAIL\n");
    for (const QString &f : failures)
        std::printf("  %s\n", qPrintable(f));
    return 1;
}

int run(QCoreApplication &app)
{
    const QStringList a = app.arguments();
    RunOptions o;
    for (int i = 2; i + 1 < a.size(); i += 2) {
        const QString k = a.at(i), v = a.at(i + 1);
        if (k == QLatin1String("--clients")) o.clients = qBound(1, v.toInt(), 1000);
        else if (k == QLatin1String("--client-port")) o.clientPort = quint16(v.toUInt());
        else if (k == QLatin1String("--http-port")) o.httpPort = quint16(v.toUInt());
        else if (k == QLatin1String("--modbus-port")) o.modbusPort = quint16(v.toUInt());
        else if (k == QLatin1String("--tick-ms")) o.tickMs = qMax(100, v.toInt());
        else if (k == QLatin1String("--sources")) o.sources = v;
        else if (k == QLatin1String("--centre-log")) o.centreLog = v;
        else if (k == QLatin1String("--mqtt-log")) o.mqttLog = v;
        else {
            std::fprintf(stderr, "soak_driver run: unknown option %s\n", qPrintable(k));
            return 2;
        }
    }
    // Signals first: no thread may be started before they are blocked.
    UserSignal start(SIGUSR2);
    UserSignal stop(SIGUSR1);
    SignalWatcher finish;
    Run r(o);
    QObject::connect(&start, &UserSignal::raised, &r, [&r] { r.startSources(); });
    QObject::connect(&stop, &UserSignal::raised, &r, [&r] { r.stopSources(); });
    QObject::connect(&finish, &SignalWatcher::terminationRequested, &app, [] { QCoreApplication::exit(0); });
    const int rc = app.exec();
    return rc == 0 ? r.report() : rc;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const QString mode = a.value(1);
    if (mode == QLatin1String("accounts") && a.size() == 4)
        return writeAccounts(a.at(2), a.at(3).toInt());
    if (mode == QLatin1String("free-port"))
        return printFreePort();
    if (mode == QLatin1String("run"))
        return run(app);
    std::fprintf(stderr,
                 "usage: soak_driver accounts DIR N | free-port |\n"
                 "       run [--clients N] [--client-port P] [--http-port P] [--modbus-port P] [--tick-ms MS]\n"
                 "           [--sources FILE] [--centre-log FILE] [--mqtt-log FILE]\n"
                 "  run: SIGUSR1 stops the senders, SIGTERM prints the counts (exit 0: nothing lost)\n");
    return 2;
}
