// The services behind the dispatcher, in start order: one line each.
// Everything else a service means to the server is in its own files.

#include "server/serverservice.h"

#include "server/centreservice.h"
#include "server/cloudservice.h"
#include "server/dc09service.h"
#include "server/historyservice.h"
#include "server/modbusservice.h"
#include "server/mqttservice.h"
#include "server/nbiotservice.h"
#include "server/webservice.h"

QList<ServerService *> ServerServices::create(QObject *parent)
{
    return {
        new CentreService(parent),
        new NbIotService(parent),
        new ModbusService(parent),
        new CloudService(parent),
        new MqttService(parent),
        new HistoryService(parent),
        new Dc09Service(parent),
        new WebService(parent),
    };
}

CEvent ServerService::commandLogRecord(const CEvent &command, const QString &text)
{
    CEvent e;
    e.nPanelID = command.nPanelID;
    e.nEventCode = command.nEventCode;
    e.strNote = text;
    e.strExtra = text;
    e.strTime = nowText();
    return e;
}
