#include "server/centreservice.h"

#include "clients/cclient.h"
#include "core/connectionlimits.h"
#include "core/prompt.h"
#include "core/servercontext.h"
#include "panels/cpanelmanager.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDebug>
#include <QMutexLocker>

ServerService::Start CentreService::start(FireServer &server)
{
    ServerContext &ctx = ServerContext::instance();
    ctx.remoteAccept = true;
    if (!ctx.remoteQueueLock)
        ctx.remoteQueueLock = new QMutex;
    const FireServer::Options &options = server.options();
    m_remoteServer = new RemoteServer(options.centre, this);
    server.connectView(SIGNAL(sigStrOutput(QString)), m_remoteServer, SLOT(slotShowViewInTable(QString)));
    m_remoteServer->setClientNotice([&server](int nEventType) {
        const QList<CClient *> all = server.clients();
        for (CClient *client : all)
            client->slotSendDataToClient(nEventType, CEvent());
        return all.size();
    });
    new AcceptGuard(m_remoteServer, QStringLiteral("centre port %1").arg(options.centrePort));
    if (!m_remoteServer->listen(QHostAddress::Any, options.centrePort)) {
        qWarning() << "centre port" << options.centrePort << "unavailable:" << m_remoteServer->errorString();
        Prompt::critical(QStringLiteral("提示"), QStringLiteral("不能同时运行两个实例，可能系统已经运行."));
        return Start::Refused;
    }
    qDebug() << "centre transmission listening on port" << m_remoteServer->serverPort();
    ctx.remoteLinkOk = false;

    m_remoteSearch = new RemoteSearch(options.query, this);
    new AcceptGuard(m_remoteSearch, QStringLiteral("query port %1").arg(options.queryPort));
    if (m_remoteSearch->listen(QHostAddress::Any, options.queryPort))
        qDebug() << "query service listening on port" << m_remoteSearch->serverPort();
    else
        qWarning() << "query port" << options.queryPort << "unavailable:" << m_remoteSearch->errorString();

    CPanelManager *panels = server.panelManager();
    connect(m_remoteServer, &RemoteServer::indicateRemoteLight, panels, &CPanelManager::slotIndicateRemoteLight);
    connect(m_remoteSearch, &RemoteSearch::indicateRemoteLight, panels, &CPanelManager::slotIndicateRemoteLight);
    return Start::Running;
}

void CentreService::stop()
{
    // The centres and queries end before the clients they report to.
    m_remoteServer->stopAll();
    m_remoteSearch->stopAll();
}

void CentreService::panelEvent(const CEvent &e)
{
    m_remoteServer->newDataToSend(e);
}

void CentreService::writeMetrics(MetricsText &t) const
{
    const ServerContext &ctx = ServerContext::instance();
    int queuedLines = 0;
    int links = 0;
    if (ctx.remoteQueueLock) {
        QMutexLocker lock(ctx.remoteQueueLock);
        links = ctx.remoteLinkCount;
        for (const QStringList &q : ctx.remoteQueues)
            queuedLines += q.size();
    }
    t.family("fireserver_centre_links", "gauge", "Monitoring centres connected.");
    t.sample("fireserver_centre_links", links);
    t.family("fireserver_centre_link_up", "gauge", "Whether the monitoring-centre link counts as up (1) or failed (0).");
    t.sample("fireserver_centre_link_up", ctx.remoteLinkOk ? 1 : 0);
    t.family("fireserver_centre_queued_lines", "gauge", "Event lines waiting to go to the centres.");
    t.sample("fireserver_centre_queued_lines", queuedLines);
}

QList<ServerService::Link> CentreService::links() const
{
    const ServerContext &ctx = ServerContext::instance();
    // A site without a centre would show a link forever down: the operators
    // see it where they asked clients to be told of it.
    if (!ctx.bRemote)
        return {};
    int count = 0;
    if (ctx.remoteQueueLock) {
        QMutexLocker lock(ctx.remoteQueueLock);
        count = ctx.remoteLinkCount;
    }
    return {{QStringLiteral("监控中心"), ctx.remoteLinkOk ? 1 : 0, QStringLiteral("%1 个连接").arg(count)}};
}
