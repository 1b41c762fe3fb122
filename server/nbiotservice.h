#pragma once
// NB-IoT detectors (Server/isHaveNB=1): their messages posted to
// "/postData" become events for the dispatcher.

#include "server/serverservice.h"

class NBDevice;

class NbIotService : public ServerService
{
    Q_OBJECT
public:
    using ServerService::ServerService;

    StopPhase stopPhase() const override { return StopPhase::BeforePanelsClose; }
    Start start(FireServer &server) override;
    void stop() override;
    void writeMetrics(MetricsText &t) const override;

    NBDevice *device() const { return m_device; }

private:
    NBDevice *m_device = nullptr; // child
};
