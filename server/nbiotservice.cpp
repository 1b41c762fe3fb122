#include "server/nbiotservice.h"

#include "core/servercontext.h"
#include "gateways/nbdevice.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

ServerService::Start NbIotService::start(FireServer &server)
{
    if (!ServerContext::instance().iniSwitch(QStringLiteral("Server/isHaveNB")))
        return Start::Off;
    m_device = new NBDevice(this);
    server.addEventSource(m_device);
    return Start::Running;
}

void NbIotService::stop()
{
    // No more detector messages once the shutdown has begun.
    delete m_device;
    m_device = nullptr;
}

void NbIotService::writeMetrics(MetricsText &t) const
{
    if (!m_device)
        return;
    t.family("fireserver_nbiot_messages_total", "counter", "NB-IoT messages by outcome: accepted, or rejected as not JSON.");
    t.sample("fireserver_nbiot_messages_total", {{"result", "accepted"}},
             double(m_device->receivedCount() - m_device->rejectedCount()));
    t.sample("fireserver_nbiot_messages_total", {{"result", "rejected"}}, double(m_device->rejectedCount()));
}
