#pragma once
// Modbus converters (Server/isHaveModbus=1): their UDP messages become
// events for the dispatcher.

#include "server/serverservice.h"

class CModbusDevice;

class ModbusService : public ServerService
{
    Q_OBJECT
public:
    using ServerService::ServerService;

    StopPhase stopPhase() const override { return StopPhase::BeforePanelsClose; }
    Start start(FireServer &server) override;
    void stop() override;
    void writeMetrics(MetricsText &t) const override;

    CModbusDevice *device() const { return m_device; }

private:
    CModbusDevice *m_device = nullptr; // child
};
