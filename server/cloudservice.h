#pragma once
// The cloud upload (Server/isHaveHttp=1 with Server/httpIP): the events the
// dispatcher delivers go, through their journal, to the platform.

#include "server/serverservice.h"

class CHttpClient;

class CloudService : public ServerService
{
    Q_OBJECT
public:
    using ServerService::ServerService;

    Start start(FireServer &server) override;
    void stop() override;
    void eventDelivered(const CEvent &e) override;
    void writeMetrics(MetricsText &t) const override;
    QList<Link> links() const override;

    CHttpClient *client() const { return m_client; }

private:
    CHttpClient *m_client = nullptr; // child
};
