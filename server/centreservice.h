#pragma once
// The monitoring centre: the event lines to every connected centre (TCP
// 2009, whose port also tells a second server that one runs already) and
// the query service (TCP 2000). Clients hear the link state as
// "RemoteOK"/"RemoteFailed"; the panel that shows it gets the lamp.

#include "remote/remoteserver.h"
#include "remote/remotesearch.h"
#include "server/serverservice.h"

class CentreService : public ServerService
{
    Q_OBJECT
public:
    using ServerService::ServerService;

    StartPhase startPhase() const override { return StartPhase::BeforeControllers; }
    StopPhase stopPhase() const override { return StopPhase::BeforePanelsClose; }
    Start start(FireServer &server) override;
    void stop() override;
    void panelEvent(const CEvent &e) override;
    void writeMetrics(MetricsText &t) const override;
    QList<Link> links() const override;

    RemoteServer *remoteServer() const { return m_remoteServer; }
    RemoteSearch *remoteSearch() const { return m_remoteSearch; }

private:
    RemoteServer *m_remoteServer = nullptr;  // child
    RemoteSearch *m_remoteSearch = nullptr;  // child
};
