#include "server/monitoring.h"

#include "clients/cclient.h"
#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "core/callgate.h"
#include "core/servercontext.h"
#include "http/httprequest.h"
#include "http/httprequesthandler.h"
#include "http/httpresponse.h"
#include "panels/controller.h"
#include "panels/cpanelmanager.h"
#include "panels/panelmodel.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <atomic>
#include <memory>

namespace {

// 1 communicating, 0 lost, -1 not known (closed, or nothing heard yet).
int communicationState(const Controller &driver, bool open)
{
    if (!open)
        return -1;
    if (driver.model() && driver.model()->listening)
        return driver.getCommState() < 0 ? -1 : driver.getCommState();
    if (driver.failCount() >= driver.disconnectTimes() && driver.disconnectTimes() > 0)
        return 0;
    return driver.pollsAnswered() > 0 ? 1 : -1;
}

} // namespace

// Runs in the listener's connection threads: it only hands the request to
// the main thread and waits for the answer there.
class MonitoringHandler : public HttpRequestHandler
{
public:
    explicit MonitoringHandler(Monitoring *monitoring) : m_monitoring(monitoring) {}
    void setTimeoutMs(int ms) { m_nTimeoutMs.store(ms); }
    // Frees the requests waiting for the main thread, which is about to
    // wait for their threads.
    void closeGate() { m_gate.close(); }

    void service(HttpRequest &request, HttpResponse &response) override
    {
        const QByteArray path = request.path();
        if (path != "/healthz" && path != "/metrics") {
            response.setStatus(404, "Not Found");
            response.write("not found\n", true);
            return;
        }
        struct Answer
        {
            QByteArray body;
            bool healthy = true;
        };
        const bool health = path == "/healthz";
        Monitoring *monitoring = m_monitoring;
        const int timeoutMs = m_nTimeoutMs.load();
        const std::optional<Answer> answer = m_gate.call<Answer>(monitoring, [monitoring, health] {
            Answer a;
            if (health) {
                const QString problem = monitoring->healthProblem();
                a.healthy = problem.isEmpty();
                a.body = (problem.isEmpty() ? QStringLiteral("ok") : problem).toUtf8() + '\n';
            } else {
                a.body = monitoring->metricsText();
            }
            return a;
        }, timeoutMs);
        response.setHeader("Content-Type", health ? "text/plain; charset=utf-8"
                                                  : "text/plain; version=0.0.4; charset=utf-8");
        if (!answer) {
            response.setStatus(503, "Service Unavailable");
            response.write(QByteArray("main thread did not answer within ") + QByteArray::number(timeoutMs)
                               + " ms\n",
                           true);
            return;
        }
        if (!answer->healthy)
            response.setStatus(503, "Service Unavailable");
        response.write(answer->body, true);
    }

private:
    Monitoring *m_monitoring;
    CallGate m_gate;
    std::atomic<int> m_nTimeoutMs{2000}; // set in the main thread, read by the connection threads
};

Monitoring::Monitoring(FireServer *server, QObject *parent) : QObject(parent), m_server(server)
{
    m_handler = new MonitoringHandler(this);
}

Monitoring::~Monitoring()
{
    m_handler->closeGate();
    m_listener.stop();
    delete m_handler;
}

bool Monitoring::start(const QString &host, quint16 port)
{
    HttpListenerSettings settings;
    settings.host = host;
    settings.port = port;
    settings.maxThreads = 4;   // a scraper or two, never a crowd
    // Each waits up to the answer time-out for the main thread: on its own
    // thread, so that a stalled main thread still gets every "503".
    settings.handlerThreads = settings.maxThreads;
    settings.readTimeout = 5000;
    settings.maxRequestSize = 4096;
    if (!m_listener.start(settings, m_handler, QStringLiteral("monitoring"))) {
        qWarning().noquote() << QStringLiteral("metrics: cannot listen on %1:%2").arg(host).arg(port);
        return false;
    }
    qDebug().noquote() << QStringLiteral("metrics and health on http://%1:%2/metrics and /healthz").arg(host).arg(m_listener.port());
    return true;
}

void Monitoring::setAnswerTimeoutMs(int ms)
{
    m_handler->setTimeoutMs(ms);
}

quint16 Monitoring::port() const
{
    return m_listener.port();
}

QString Monitoring::healthProblem() const
{
    if (!m_server->isRunning())
        return QStringLiteral("server not running");
    QSqlDatabase db = QSqlDatabase::database(QSqlDatabase::defaultConnection, false);
    if (!db.isValid() || !db.isOpen())
        return QStringLiteral("settings database not open");
    if (db.driverName() != QLatin1String("QSQLITE"))
        return QString();
    // A fresh read-only look at the file itself: the server's own connection
    // keeps working on a file that was since replaced, damaged or removed.
    const QString name = QStringLiteral("fireserver-health");
    QString problem;
    {
        QSqlDatabase probe = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        probe.setDatabaseName(db.databaseName());
        probe.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!probe.open()) {
            problem = probe.lastError().text();
        } else {
            QSqlQuery q(probe);
            if (!q.exec(QStringLiteral("select count(*) from ServerControllerInfo")))
                problem = q.lastError().text();
        }
        probe.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!problem.isEmpty())
        return QStringLiteral("settings database %1 unreadable: %2").arg(db.databaseName(), problem.simplified());
    return QString();
}

QByteArray Monitoring::metricsText() const
{
    MetricsText t;

    if (CPanelManager *manager = m_server->panelManager()) {
        const QList<quint8> ids = manager->controllerIds();
        const auto label = [](quint8 id) { return QPair<const char *, QString>("controller", QString::number(id)); };
        t.family("fireserver_controller_info", "gauge", "Configured controllers (value 1), with their name, type and model.");
        for (quint8 id : ids) {
            const ControllerInfo *info = manager->controllerInfo(id);
            const Controller *driver = manager->controller(id);
            t.sample("fireserver_controller_info",
                     {label(id), {"name", info->name}, {"type", QString::number(info->controllerType)},
                      {"model", driver && driver->model() ? driver->model()->name : QString()}},
                     1);
        }
        t.family("fireserver_controller_open", "gauge", "Whether the controller's link is open (1) or not (0).");
        for (quint8 id : ids)
            t.sample("fireserver_controller_open", {label(id)}, manager->isPanelConnected(id) ? 1 : 0);
        t.family("fireserver_controller_communication", "gauge",
                 "Communication with the panel: 1 normal, 0 lost, -1 not known (closed or not heard yet).");
        for (quint8 id : ids) {
            const Controller *driver = manager->controller(id);
            t.sample("fireserver_controller_communication", {label(id)},
                     driver ? communicationState(*driver, manager->isPanelConnected(id)) : -1);
        }
        t.family("fireserver_controller_polls_total", "counter", "Poll cycles by result: answered or failed.");
        for (quint8 id : ids) {
            if (const Controller *driver = manager->controller(id)) {
                t.sample("fireserver_controller_polls_total", {label(id), {"result", "answered"}},
                         double(driver->pollsAnswered()));
                t.sample("fireserver_controller_polls_total", {label(id), {"result", "failed"}},
                         double(driver->pollsFailed()));
            }
        }
        t.family("fireserver_controller_invalid_frames_total", "counter",
                 "Frames from a listening panel dropped because their check sum failed.");
        for (quint8 id : ids) {
            const Controller *driver = manager->controller(id);
            if (driver && driver->model() && driver->model()->listening)
                t.sample("fireserver_controller_invalid_frames_total", {label(id)}, double(driver->invalidFrames()));
        }
        t.family("fireserver_controller_commands_refused_total", "counter",
                 "Commands the driver would not send: their device code names no device of the panel.");
        for (quint8 id : ids) {
            if (const Controller *driver = manager->controller(id))
                t.sample("fireserver_controller_commands_refused_total", {label(id)}, double(driver->commandsRefused()));
        }
        t.family("fireserver_controller_received_bytes_total", "counter", "Bytes received from the panel.");
        for (quint8 id : ids) {
            if (const Controller *driver = manager->controller(id))
                t.sample("fireserver_controller_received_bytes_total", {label(id)}, double(driver->bytesReceived()));
        }
        t.family("fireserver_commands_unrouted_total", "counter",
                 "Commands that reached no panel: no running controller owns the panel they name, or panel 0 with a device.");
        t.sample("fireserver_commands_unrouted_total", double(manager->commandsUnrouted()));
        t.family("fireserver_controller_events_total", "counter", "Events the controller's driver reported.");
        for (quint8 id : ids)
            t.sample("fireserver_controller_events_total", {label(id)}, double(manager->eventCount(id)));
    }

    if (CEventProcess *dispatcher = m_server->dispatcher()) {
        t.family("fireserver_dispatcher_queue_depth", "gauge", "Events waiting in each class queue.");
        for (int key : dispatcher->queueKeys())
            t.sample("fireserver_dispatcher_queue_depth", {{"queue", QString::number(key)}},
                     dispatcher->waitingCount(key));
        t.family("fireserver_dispatcher_waiting_events", "gauge", "Events waiting for delivery in all queues.");
        t.sample("fireserver_dispatcher_waiting_events", dispatcher->waitingCount());
        t.family("fireserver_dispatcher_active_conditions", "gauge", "Active conditions a client receives at login.");
        t.sample("fireserver_dispatcher_active_conditions", dispatcher->activeCount());
        t.family("fireserver_dispatcher_delivered_events_total", "counter", "Events delivered to the clients.");
        t.sample("fireserver_dispatcher_delivered_events_total", double(dispatcher->deliveredCount()));
    }

    const QList<CClient *> clients = m_server->clients();
    int loggedIn = 0;
    for (const CClient *c : clients)
        loggedIn += c->isLoggedIn() ? 1 : 0;
    t.family("fireserver_clients_connected", "gauge", "Client connections open.");
    t.sample("fireserver_clients_connected", clients.size());
    t.family("fireserver_clients_logged_in", "gauge", "Client connections holding a login.");
    t.sample("fireserver_clients_logged_in", loggedIn);
    t.family("fireserver_client_connections_refused_total", "counter", "Client connections refused by the bounds.");
    t.sample("fireserver_client_connections_refused_total", m_server->clientConnectionsRefused());
    t.family("fireserver_client_connections_evicted_total", "counter",
             "Connections without a login closed to make room on a full client port.");
    t.sample("fireserver_client_connections_evicted_total", double(m_server->clientConnectionsEvicted()));

    for (const ServerService *service : m_server->runningServices())
        service->writeMetrics(t);
    return t.text();
}
