#include "server/modbusservice.h"

#include "core/servercontext.h"
#include "gateways/cmodbusdevice.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

ServerService::Start ModbusService::start(FireServer &server)
{
    if (!ServerContext::instance().iniSwitch(QStringLiteral("Server/isHaveModbus")))
        return Start::Off;
    m_device = new CModbusDevice(server.options().modbusPort, this);
    server.addEventSource(m_device);
    return Start::Running;
}

void ModbusService::stop()
{
    // No more device messages once the shutdown has begun.
    delete m_device;
    m_device = nullptr;
}

void ModbusService::writeMetrics(MetricsText &t) const
{
    if (!m_device)
        return;
    t.family("fireserver_modbus_messages_total", "counter", "Modbus converter messages by outcome.");
    t.sample("fireserver_modbus_messages_total", {{"result", "accepted"}},
             double(m_device->messagesReceived() - m_device->messagesRejected()));
    t.sample("fireserver_modbus_messages_total", {{"result", "rejected"}}, double(m_device->messagesRejected()));
    t.family("fireserver_modbus_dropped_bytes_total", "counter", "Bytes dropped from an object left open past the cap.");
    t.sample("fireserver_modbus_dropped_bytes_total", double(m_device->bytesDropped()));
}
