#include "server/cloudservice.h"

#include "core/servercontext.h"
#include "gateways/chttpclient.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

ServerService::Start CloudService::start(FireServer &server)
{
    const ServerContext &ctx = ServerContext::instance();
    const QString address = ctx.iniValue(QStringLiteral("Server/httpIP")).toString();
    if (!ctx.iniSwitch(QStringLiteral("Server/isHaveHttp")) || address.isEmpty())
        return Start::Off;
    m_client = new CHttpClient(address, server.options().cloud, this);
    const QString subname = ctx.iniValue(QStringLiteral("Server/HttpSubname")).toString();
    if (!subname.isEmpty())
        m_client->setPostInfo(subname, ctx.iniValue(QStringLiteral("Server/HttpUsername")).toString(),
                              ctx.iniValue(QStringLiteral("Server/HttpPassword")).toString(),
                              ctx.iniValue(QStringLiteral("Server/HttpSign")).toString());
    return Start::Running;
}

void CloudService::stop()
{
    // Nothing more leaves; the journal keeps what waits.
    delete m_client;
    m_client = nullptr;
}

void CloudService::eventDelivered(const CEvent &e)
{
    m_client->addEvent(e);
}

void CloudService::writeMetrics(MetricsText &t) const
{
    if (m_client)
        t.journal("cloud", m_client->journal(), m_client->lastAcceptedMsecs());
}

QList<ServerService::Link> CloudService::links() const
{
    if (!m_client)
        return {};
    const int state = m_client->refusedInRow() > 0 ? 0 : m_client->lastAcceptedMsecs() == 0 ? -1 : 1;
    return {{QStringLiteral("云平台"), state, QStringLiteral("待发 %1").arg(m_client->pendingCount())}};
}
