#include "server/webservice.h"

#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "core/apppaths.h"
#include "core/safejson.h"
#include "core/servercontext.h"
#include "history/historyreader.h"
#include "http/httprequest.h"
#include "http/httprequesthandler.h"
#include "http/httpresponse.h"
#include "panels/cpanelmanager.h"
#include "server/controllerstates.h"
#include "server/fireserver.h"
#include "server/historyservice.h"
#include "server/metricstext.h"
#include "web/eventstream.h"
#include "web/websessions.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

// Resources of a static library need a call to be linked in; outside any namespace.
static void initWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace {
const QByteArray kCookie = "fs_session";
constexpr int MaxCommandBytes = 4096;
constexpr int RecentEvents = 100;
constexpr int MaxStandingShown = 300; // per class group; the counts stay exact

QByteArray json(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonObject error(const QString &text)
{
    return {{QStringLiteral("error"), text}};
}

WebService::Reply replyOf(int status, const QJsonObject &body)
{
    WebService::Reply r;
    r.status = status;
    r.body = body;
    return r;
}

const char *statusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 503: return "Service Unavailable";
    }
    return "Error";
}

// The order the page lists standing conditions in: fire first.
int classRank(int eventClass)
{
    switch (eventClass) {
    case 1: return 0;  // fire alarm
    case 2: return 1;  // monitoring alarm
    case 7: return 2;  // fault
    case 8: return 3;  // disabled
    }
    return 4;
}

struct Asset
{
    QByteArray type;
    QByteArray bytes;
};

// The page's files, read once from the resources.
QHash<QByteArray, Asset> loadAssets()
{
    const QList<QPair<QByteArray, QByteArray>> types{
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".svg", "image/svg+xml"},
    };
    initWebResources();
    QHash<QByteArray, Asset> assets;
    const QDir dir(QStringLiteral(":/web"));
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        Asset a;
        a.bytes = f.readAll();
        for (const auto &t : types) {
            if (name.toLatin1().endsWith(t.first))
                a.type = t.second;
        }
        assets.insert('/' + name.toLatin1(), a);
    }
    assets.insert("/", assets.value("/index.html"));
    return assets;
}
} // namespace

// Serves the connection threads: files straight from memory, /api through
// the gate to the main thread.
class WebHandler : public HttpRequestHandler
{
public:
    WebHandler(WebService *service, bool tls) : m_service(service), m_tls(tls), m_assets(loadAssets()) {}

    void service(HttpRequest &request, HttpResponse &response) override
    {
        // No inline script or style, no framing, no guessing of types.
        response.setHeader("Content-Security-Policy", QByteArray("default-src 'self'; frame-ancestors 'none'"));
        response.setHeader("X-Content-Type-Options", QByteArray("nosniff"));
        response.setHeader("Referrer-Policy", QByteArray("no-referrer"));
        response.setHeader("X-Frame-Options", QByteArray("DENY"));
        const QByteArray path = request.path();
        if (path.startsWith("/api/"))
            api(request, response);
        else
            file(path, request.method(), response);
    }

private:
    void file(const QByteArray &path, const QByteArray &method, HttpResponse &response)
    {
        const auto it = m_assets.constFind(path);
        if (method != "GET" && method != "HEAD") {
            response.setStatus(405, "Method Not Allowed");
            response.write("405 Method Not Allowed", true);
            return;
        }
        if (it == m_assets.constEnd()) {
            response.setStatus(404, "Not Found");
            response.setHeader("Content-Type", QByteArray("text/plain; charset=utf-8"));
            response.write("404 Not Found", true);
            return;
        }
        response.setHeader("Content-Type", it->type);
        response.setHeader("Cache-Control", QByteArray("no-cache"));
        response.write(method == "HEAD" ? QByteArray() : it->bytes, true);
    }

    void api(HttpRequest &request, HttpResponse &response)
    {
        WebService::Call call;
        call.method = request.method();
        call.path = request.path();
        call.parameters = request.parameterMap();
        call.body = request.body();
        call.contentType = request.header("content-type");
        call.session = request.cookie(kCookie);
        call.csrf = request.header("x-csrf-token");
        call.lastEventId = request.header("last-event-id");
        call.peer = request.peerAddress();
        WebService *service = m_service;
        const std::optional<WebService::Reply> answer =
            service->gate().call<WebService::Reply>(service, [service, call] { return service->answer(call); });
        WebService::Reply reply = answer ? *answer : replyOf(503, error(QStringLiteral("服务器正在停止")));
        response.setHeader("Cache-Control", QByteArray("no-store"));
        if (!reply.setSession.isEmpty()) {
            HttpCookie cookie(kCookie, reply.setSession == "-" ? QByteArray() : reply.setSession);
            cookie.path = "/";
            cookie.httpOnly = true;
            cookie.sameSite = "Strict";
            cookie.secure = m_tls;
            if (reply.setSession == "-")
                cookie.maxAge = 0;
            response.setCookie(cookie);
        }
        if (reply.stream) {
            const qint64 from = reply.streamFrom;
            const QByteArray session = call.session;
            response.setHeader("Content-Type", QByteArray("text/event-stream; charset=utf-8"));
            response.setHeader("Connection", QByteArray("close"));
            response.setHeader("X-Accel-Buffering", QByteArray("no"));
            response.write(QByteArray());
            EventStream *stream = service->stream();
            response.handOver(stream, [stream, from, session](QTcpSocket *s) { stream->adopt(s, from, session); });
            return;
        }
        if (reply.history) {
            reply.body = history(request, reply.historyPath);
            if (reply.body.contains(QStringLiteral("error")))
                reply.status = 400;
        }
        response.setStatus(reply.status, statusText(reply.status));
        response.setHeader("Content-Type", QByteArray("application/json; charset=utf-8"));
        response.write(json(reply.body), true);
    }

    // Runs here, off the main thread: a query over a year of events takes a while.
    static QJsonObject history(const HttpRequest &request, const QString &path)
    {
        HistoryQuery q;
        q.from = QString::fromUtf8(request.parameter("from"));
        q.to = QString::fromUtf8(request.parameter("to"));
        q.panel = request.parameter("panel").toInt();
        q.eventClass = request.parameter("class").toInt();
        q.text = QString::fromUtf8(request.parameter("text"));
        q.cursor = QString::fromUtf8(request.parameter("cursor"));
        if (!request.parameter("pageSize").isEmpty())
            q.pageSize = request.parameter("pageSize").toInt();
        const HistoryPage page = HistoryReader::run(path, q);
        if (!page.error.isEmpty())
            return error(page.error);
        QJsonArray rows;
        for (const HistoryRow &row : page.rows) {
            QJsonObject o = WebService::eventJson(row.event);
            o.insert(QStringLiteral("id"), double(row.id));
            o.insert(QStringLiteral("time"), row.atime);
            o.insert(QStringLiteral("action"), row.action);
            o.insert(QStringLiteral("content"), row.content);
            rows.append(o);
        }
        return {{QStringLiteral("rows"), rows}, {QStringLiteral("next"), page.nextCursor}};
    }

    WebService *const m_service;
    const bool m_tls;
    const QHash<QByteArray, Asset> m_assets; // read-only once built
};

WebService::WebService(QObject *parent) : ServerService(parent)
{
}

WebService::~WebService()
{
    if (m_handler)
        stop();
}

bool WebService::settingsFromIni(Settings *s, int port)
{
    const ServerContext &ctx = ServerContext::instance();
    if (port < 0) {
        port = ctx.iniInt(QStringLiteral("Web/port"), 0, 0, 65535);
        if (port == 0)
            return false;
    }
    s->listener.host = ctx.iniText(QStringLiteral("Web/host"));
    s->listener.port = quint16(port);
    const auto file = [](const QString &name) {
        return name.isEmpty() || QDir::isAbsolutePath(name) ? name : AppPaths::file(name);
    };
    s->listener.sslCertFile = file(ctx.iniText(QStringLiteral("Web/certFile")));
    s->listener.sslKeyFile = file(ctx.iniText(QStringLiteral("Web/keyFile")));
    s->idleMinutes = ctx.iniInt(QStringLiteral("Web/sessionMinutes"), 30, 1, 24 * 60);
    s->maxSessions = ctx.iniInt(QStringLiteral("Web/maxSessions"), 20, 1, 1000);
    return true;
}

ServerService::Start WebService::start(FireServer &server)
{
    Settings settings;
    if (!settingsFromIni(&settings, server.options().webPort))
        return Start::Off;
    return startWith(server, settings) ? Start::Running : Start::Off;
}

bool WebService::startWith(FireServer &server, const Settings &settings)
{
    m_server = &server;
    m_settings = settings;
    HttpListenerSettings &l = m_settings.listener;
    // Streams leave the connection threads; these serve the plain requests,
    // and a browser keeps a few connections open between them.
    l.maxThreads = qBound(16, 4 * m_settings.maxSessions, 400);
    // A request waits for the main thread's answer, a history query for the
    // database: each connection its own thread.
    l.handlerThreads = l.maxThreads;
    l.readTimeout = 10000;
    l.maxRequestSize = 16000;
    l.maxMultiPartSize = 0;
    m_sessions.reset(new WebSessions(m_settings.idleMinutes * 60 * 1000, m_settings.maxSessions));
    m_states.reset(new ControllerStates(server.panelManager()));
    m_stream = new EventStream(m_settings.ringSize, m_settings.maxSessions, this);
    connect(m_stream, &EventStream::streamStarted, this,
            [this](const QByteArray &session) { m_sessions->streamOpened(session); });
    connect(m_stream, &EventStream::streamEnded, this,
            [this](const QByteArray &session) { m_sessions->streamClosed(session); });
    server.connectView(SIGNAL(eLog(CEvent)), this, SLOT(slotShowLogFromClient(CEvent)));
    m_handler = new WebHandler(this, isTls());
    const bool listening = m_listener.start(l, m_handler, QStringLiteral("web"));
    m_port = m_listener.port();
    if (!listening) {
        qWarning().noquote() << QStringLiteral("web: cannot listen on %1:%2; the web console is off")
                                    .arg(l.host.isEmpty() ? QStringLiteral("*") : l.host).arg(l.port);
        stop();
        return false;
    }
    qDebug().noquote() << QStringLiteral("web console on %1://%2:%3/")
                              .arg(isTls() ? QStringLiteral("https") : QStringLiteral("http"),
                                   l.host.isEmpty() ? QStringLiteral("*") : l.host)
                              .arg(m_port);
    return true;
}

void WebService::stop()
{
    // Waiting connection threads give up first: the main thread is about
    // to wait for them and could not answer.
    m_gate.close();
    m_listener.stop();
    if (m_stream)
        m_stream->closeAll();
    delete m_handler;
    m_handler = nullptr;
}

void WebService::panelEvent(const CEvent &e)
{
    m_states->panelEvent(e);
}

void WebService::eventDelivered(const CEvent &e)
{
    m_stream->publish(eventJson(e));
}

void WebService::writeMetrics(MetricsText &t) const
{
    t.family("fireserver_web_sessions", "gauge", "Web console logins live.");
    t.sample("fireserver_web_sessions", m_sessions ? m_sessions->count() : 0);
    t.family("fireserver_web_streams", "gauge", "Web console event streams open.");
    t.sample("fireserver_web_streams", m_stream ? m_stream->streamCount() : 0);
    t.family("fireserver_web_logins_total", "counter", "Web console logins by result.");
    t.sample("fireserver_web_logins_total", {{"result", "ok"}}, double(m_logins));
    t.sample("fireserver_web_logins_total", {{"result", "refused"}}, double(m_refusedLogins));
    t.family("fireserver_web_commands_total", "counter", "Panel commands sent from the web console.");
    t.sample("fireserver_web_commands_total", double(m_commands));
}

QJsonObject WebService::eventJson(const CEvent &e)
{
    // Every text here came from a panel or a peer: the page shows it as text.
    return {
        {QStringLiteral("time"), e.strTime},
        {QStringLiteral("panel"), e.nPanelID},
        {QStringLiteral("code"), e.strCode},
        {QStringLiteral("endCode"), e.strEndCode != e.strCode ? e.strEndCode : QString()},
        {QStringLiteral("number"), e.nEventNo},
        {QStringLiteral("name"), e.strEventName},
        {QStringLiteral("cls"), e.nEventType},
        {QStringLiteral("property"), e.nEventProperty},
        {QStringLiteral("note"), e.strNote},
    };
}

WebService::Reply WebService::answer(const Call &call)
{
    if (call.path == "/api/login") {
        if (call.method != "POST")
            return replyOf(405, error(QStringLiteral("POST only")));
        return login(call);
    }
    WebSessions::Session *session = m_sessions->find(call.session);
    if (!session)
        return replyOf(401, error(QStringLiteral("未登录或登录已过期")));
    if (call.method == "POST" && !WebSessions::sameToken(call.csrf, session->csrf)) {
        qWarning().noquote() << QStringLiteral("web: %1 from %2 without a valid CSRF token refused")
                                    .arg(QString::fromLatin1(call.path), call.peer.toString());
        return replyOf(403, error(QStringLiteral("请求缺少有效的 CSRF 令牌")));
    }
    const QString user = session->user;
    if (call.method == "GET" && call.path == "/api/session") {
        return replyOf(200, sessionJson(*session));
    }
    if (call.method == "POST" && call.path == "/api/logout") {
        qDebug().noquote() << QStringLiteral("web: %1 logged out").arg(user);
        const QByteArray token = session->token;
        m_sessions->remove(token);
        m_stream->closeSession(token);
        Reply r = replyOf(200, {{QStringLiteral("ok"), true}});
        r.setSession = "-";
        return r;
    }
    if (call.method == "GET" && call.path == "/api/status")
        return status(user);
    if (call.method == "GET" && call.path == "/api/events") {
        QList<EventStream::Entry> entries;
        const bool complete = m_stream->since(call.parameters.value("since").toLongLong(), &entries);
        QJsonArray events;
        for (const EventStream::Entry &e : qAsConst(entries))
            events.append(e.event);
        return replyOf(200, {{QStringLiteral("complete"), complete}, {QStringLiteral("events"), events},
                             {QStringLiteral("seq"), double(m_stream->lastSeq())}});
    }
    if (call.method == "GET" && call.path == "/api/history") {
        const HistoryService *history = m_server->service<HistoryService>();
        if (!history || !history->reader())
            return replyOf(503, error(QStringLiteral("事件历史未启用 (History/enabled)")));
        Reply r;
        r.history = true;
        r.historyPath = history->reader()->path();
        return r;
    }
    if (call.method == "GET" && call.path == "/api/stream") {
        if (!m_stream->hasRoom()) {
            qWarning().noquote() << QStringLiteral("web: event stream for %1 refused: %2 streams are open (Web/maxSessions)")
                                        .arg(user).arg(m_stream->streamCount());
            return replyOf(503, error(QStringLiteral("实时连接已满")));
        }
        Reply r;
        r.stream = true;
        const QByteArray from = call.lastEventId.isEmpty() ? call.parameters.value("since") : call.lastEventId;
        r.streamFrom = from.trimmed().toLongLong();
        return r;
    }
    if (call.method == "POST" && call.path == "/api/command")
        return command(call, user);
    return replyOf(404, error(QStringLiteral("no such request: %1 %2")
                                  .arg(QString::fromLatin1(call.method), QString::fromLatin1(call.path))));
}

QJsonObject WebService::sessionJson(const WebSessions::Session &session) const
{
    return {{QStringLiteral("user"), session.user},
            {QStringLiteral("csrf"), QString::fromLatin1(session.csrf)},
            {QStringLiteral("control"), ServerContext::instance().isControl},
            {QStringLiteral("title"), m_server->title()}};
}

WebService::Reply WebService::login(const Call &call)
{
    // A form of another site cannot send JSON without the browser asking
    // this server first, which it never allows: that keeps logins our own.
    if (!call.contentType.startsWith("application/json"))
        return replyOf(415, error(QStringLiteral("login takes application/json")));
    ClientAccounts &accounts = m_server->accounts();
    LoginThrottle &throttle = accounts.throttle();
    if (throttle.blocked(call.peer)) {
        ++m_refusedLogins;
        return replyOf(429, error(QStringLiteral("登录失败次数过多,请稍后再试")));
    }
    const QJsonObject o = SafeJson::parse(call.body).object();
    const QString name = o.value(QStringLiteral("user")).toString();
    const QString password = o.value(QStringLiteral("password")).toString();
    const ClientAccounts::LoginResult result =
        accounts.decideLogin(name, password, call.peer, ServerContext::instance().isHaveUserType);
    // A client program holding the same account does not keep its owner off the page.
    if (result != ClientAccounts::LoginOk && result != ClientAccounts::LoginAlreadyIn) {
        throttle.failed(call.peer);
        ++m_refusedLogins;
        qWarning().noquote() << QStringLiteral("web: login of \"%1\" from %2 refused: %3")
                                    .arg(name.left(64), call.peer.toString(), ClientAccounts::loginLogText(result));
        // Whether the name or the password was wrong stays in the log, not on the page.
        const QString answer = result == ClientAccounts::LoginTypeMismatch ? ClientAccounts::loginLogText(result)
                                                                           : QStringLiteral("用户名或密码错误");
        return replyOf(401, error(answer));
    }
    const WebSessions::Session *session = m_sessions->create(name);
    if (!session)
        return replyOf(503, error(QStringLiteral("登录数已满 (Web/maxSessions)")));
    ++m_logins;
    qDebug().noquote() << QStringLiteral("web: %1 logged in from %2").arg(name, call.peer.toString());
    Reply r = replyOf(200, sessionJson(*session));
    r.setSession = session->token;
    return r;
}

WebService::Reply WebService::status(const QString &user) const
{
    QJsonArray controllers;
    for (const ControllerStates::State &c : m_states->refresh()) {
        controllers.append(QJsonObject{
            {QStringLiteral("id"), c.id},
            {QStringLiteral("name"), c.name},
            {QStringLiteral("type"), c.type},
            {QStringLiteral("typeName"), c.typeName},
            {QStringLiteral("running"), c.running},
            {QStringLiteral("comm"), c.comm},
            {QStringLiteral("since"), c.since},
        });
    }
    QList<CEventProcess::Condition> conditions = m_server->dispatcher()->deliveredConditions();
    // Newest first within each group, fire alarms before everything.
    std::reverse(conditions.begin(), conditions.end());
    std::stable_sort(conditions.begin(), conditions.end(), [](const auto &a, const auto &b) {
        return classRank(a.second.nEventType) < classRank(b.second.nEventType);
    });
    QJsonArray standing;
    QJsonObject counts;
    QHash<int, int> shown;
    for (const CEventProcess::Condition &c : qAsConst(conditions)) {
        const int rank = classRank(c.second.nEventType);
        const QString key = QString::number(c.second.nEventType);
        counts.insert(key, counts.value(key).toInt() + 1);
        if (shown[rank]++ < MaxStandingShown)
            standing.append(eventJson(c.second));
    }
    QJsonArray links;
    for (const ServerService *s : m_server->runningServices()) {
        for (const Link &l : s->links()) {
            links.append(QJsonObject{{QStringLiteral("name"), l.name},
                                     {QStringLiteral("state"), l.state},
                                     {QStringLiteral("detail"), l.detail}});
        }
    }
    QJsonArray events;
    for (const EventStream::Entry &e : m_stream->recent(RecentEvents))
        events.append(e.event);
    return replyOf(200, {
        {QStringLiteral("title"), m_server->title()},
        {QStringLiteral("user"), user},
        {QStringLiteral("control"), ServerContext::instance().isControl},
        {QStringLiteral("history"), m_server->service<HistoryService>() != nullptr},
        {QStringLiteral("seq"), double(m_stream->lastSeq())},
        {QStringLiteral("controllers"), controllers},
        {QStringLiteral("standing"), standing},
        {QStringLiteral("counts"), counts},
        {QStringLiteral("links"), links},
        {QStringLiteral("events"), events},
    });
}

WebService::Reply WebService::command(const Call &call, const QString &user)
{
    if (!ServerContext::instance().isControl)
        return replyOf(403, error(QStringLiteral("未启用控制 (Server/isControl)")));
    if (call.body.size() > MaxCommandBytes)
        return replyOf(413, error(QStringLiteral("command too long")));
    const QJsonObject o = SafeJson::parse(call.body).object();
    static const QList<QPair<QString, int>> words{
        {QStringLiteral("silence"), CmdSilence}, {QStringLiteral("reset"), CmdReset},
        {QStringLiteral("start"), CmdStart},     {QStringLiteral("stop"), CmdStop},
        {QStringLiteral("disable"), CmdDisable}, {QStringLiteral("enable"), CmdEnable},
    };
    const QString word = o.value(QStringLiteral("command")).toString();
    int code = 0;
    for (const auto &w : words) {
        if (w.first == word)
            code = w.second;
    }
    if (code == 0)
        return replyOf(400, error(QStringLiteral("\"command\" must be one of silence, reset, start, stop, disable, enable")));
    const QJsonValue panelValue = o.value(QStringLiteral("panel"));
    const int panel = panelValue.isDouble() ? panelValue.toInt() : 0;
    if (panel < 1 || panel > 255 || !m_server->panelManager()->controllerInfo(quint8(panel)))
        return replyOf(400, error(QStringLiteral("no controller %1").arg(panelValue.toVariant().toString())));
    CEvent e;
    e.nPanelID = quint8(panel);
    e.nEventCode = code;
    e.strTime = nowText();
    QString text = QStringLiteral("网页命令 用户:%1 控制器编号:%2 %3").arg(user).arg(panel).arg(commandName(code));
    if (code != CmdSilence && code != CmdReset) {
        static const QRegularExpression device(QStringLiteral("^[0-9A-Za-z]{1,32}$"));
        e.strCode = o.value(QStringLiteral("device")).toString().trimmed();
        if (!device.match(e.strCode).hasMatch())
            return replyOf(400, error(QStringLiteral("\"device\" must be a device code of 1 to 32 letters and digits")));
        e.strEndCode = e.strCode;
        text += QStringLiteral(" 设备编号:") + e.strCode;
    }
    const CPanelManager::CommandResult result = m_server->panelManager()->sendCommand(e);
    if (!result.ok()) {
        qWarning().noquote() << text + QStringLiteral(" (命令未发送: %1)").arg(result.error);
        log(e, text + QStringLiteral(" (命令未发送: %1)").arg(result.error));
        return replyOf(200, {{QStringLiteral("ok"), false}, {QStringLiteral("error"), result.error}});
    }
    ++m_commands;
    qDebug().noquote() << text;
    log(e, text);
    return replyOf(200, {{QStringLiteral("ok"), true}});
}

void WebService::log(const CEvent &command, const QString &text)
{
    emit eLog(commandLogRecord(command, text));
}
