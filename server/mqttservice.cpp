#include "server/mqttservice.h"

#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "core/servercontext.h"
#include "gateways/mqttpublisher.h"
#include "panels/controller.h"
#include "panels/cpanelmanager.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDebug>
#include <QSet>
#include <QTimer>

namespace {
const QString kOk = QStringLiteral("ok");
const QString kLost = QStringLiteral("lost");
const QString kUnknown = QStringLiteral("unknown");

// The codes the core gives communication events: the drivers' 101/100 (or
// 17 for some models) and the panel manager's own 17 on open, close and its
// check of the listening models.
bool isCommunicationEvent(const CEvent &e)
{
    return (e.nEventCode == 17 || e.nEventCode == 100 || e.nEventCode == 101)
        && (e.nEventProperty == 0 || e.nEventProperty == 1);
}
} // namespace

ServerService::Start MqttService::start(FireServer &server)
{
    if (!ServerContext::instance().iniSwitch(QStringLiteral("Mqtt/enabled")))
        return Start::Off;
    CEventProcess *dispatcher = server.dispatcher();
    m_panels = server.panelManager();
    m_publisher = new MqttPublisher(MqttPublisher::optionsFromIni(server.options().mqtt), this);
    // The active list changes as events are accepted and as they are delivered.
    connect(dispatcher, &CEventProcess::receiveEvent, m_publisher, &MqttPublisher::markActiveChanged);
    connect(dispatcher, &CEventProcess::sendEventToClient, m_publisher, &MqttPublisher::markActiveChanged);
    m_publisher->setActiveSource([dispatcher] { return dispatcher->currentEvents(); });
    connect(m_publisher, &MqttPublisher::commandReceived, this, &MqttService::onCommand);
    server.connectView(SIGNAL(eLog(CEvent)), this, SLOT(slotShowLogFromClient(CEvent)));
    refreshControllers();
    m_publisher->start();
    return Start::Running;
}

void MqttService::stop()
{
    // The closed controllers' states go out before the "offline".
    refreshControllers();
    delete m_publisher;
    m_publisher = nullptr;
}

void MqttService::eventDelivered(const CEvent &e)
{
    m_publisher->publishEvent(e);
}

void MqttService::writeMetrics(MetricsText &t) const
{
    if (!m_publisher)
        return;
    t.journal("mqtt", m_publisher->journal(), m_publisher->lastAckMsecs());
    t.family("fireserver_mqtt_connected", "gauge", "Whether the MQTT broker connection is up.");
    t.sample("fireserver_mqtt_connected", m_publisher->isConnected() ? 1 : 0);
}

void MqttService::panelEvent(const CEvent &e)
{
    if (!isCommunicationEvent(e))
        return;
    // Only a running driver's word counts: the manager announces "normal"
    // before an open is even tried, and "lost" for a controller the operator
    // closed; neither says anything about the line.
    if (m_panels->isPanelConnected(e.nPanelID)) {
        Tracked &t = m_tracked[e.nPanelID];
        t.comm = e.nEventProperty == 0 ? kOk : kLost;
        t.commTime = e.strTime.isEmpty() ? nowText() : e.strTime;
    }
    // After the event has run its course: an open reports before the driver
    // is started, and the state should show it running.
    if (!m_refreshQueued) {
        m_refreshQueued = true;
        QTimer::singleShot(0, this, &MqttService::refreshControllers);
    }
}

void MqttService::refreshControllers()
{
    m_refreshQueued = false;
    if (!m_publisher)
        return; // stopped
    const ConfigTables &tables = ConfigTables::instance();
    QSet<quint8> present;
    for (quint8 id : m_panels->controllerIds()) {
        const ControllerInfo *info = m_panels->controllerInfo(id);
        if (!info)
            continue;
        present.insert(id);
        Tracked &t = m_tracked[id];
        const bool running = m_panels->isPanelConnected(id);
        // A polled panel that is answering reports nothing until it stops:
        // bytes heard since the open and a good last exchange tell us it is
        // fine. A controller that is not running is not watched at all.
        const Controller *driver = m_panels->controller(id);
        if (!running || (t.comm == kUnknown && driver && driver->lastReceiveMsecs() > 0
                         && driver->isLastExchangeOk())) {
            t.comm = running ? kOk : kUnknown;
            t.commTime.clear(); // no event to date it: it changes now
        }
        if (!t.shown || running != t.running || t.comm != t.shownComm) {
            t.since = t.comm != t.shownComm && !t.commTime.isEmpty() ? t.commTime : nowText();
            t.running = running;
            t.shownComm = t.comm;
            t.shown = true;
        }
        MqttCodec::ControllerState state;
        state.name = info->name;
        state.type = info->controllerType;
        state.typeName = tables.systemType(info->controllerType).name;
        state.running = t.running;
        state.comm = t.shownComm;
        state.since = t.since;
        m_publisher->setControllerState(id, state);
    }
    for (auto it = m_tracked.begin(); it != m_tracked.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        m_publisher->removeControllerState(it.key());
        it = m_tracked.erase(it);
    }
}

void MqttService::onCommand(const QString &id, const CEvent &command)
{
    const QString name = commandName(command.nEventCode).isEmpty() ? QStringLiteral("查询实时值")
                                                                     : commandName(command.nEventCode);
    QString text = QStringLiteral("MQTT命令 %1: 控制器编号:%2 %3").arg(id).arg(command.nPanelID).arg(name);
    if (!command.strCode.isEmpty()) {
        text += QStringLiteral(" 设备编号:") + command.strCode;
        if (command.strEndCode != command.strCode)
            text += QLatin1Char('-') + command.strEndCode;
    }
    if (!ServerContext::instance().isControl) {
        refuse(id, command, QStringLiteral("panel control is off (Server/isControl is not 1)"),
               text + QStringLiteral(" (未启用控制,命令未发送)"));
        return;
    }
    CEvent e = command;
    e.strTime = nowText();
    // The answer says whether a panel took it: the manager routes it to the
    // one panel it names, or refuses it with the reason.
    const CPanelManager::CommandResult result = m_panels->sendCommand(e);
    if (!result.ok()) {
        refuse(id, command, result.error, text + QStringLiteral(" (命令未发送: %1)").arg(result.error));
        return;
    }
    qDebug().noquote() << QStringLiteral("MQTT: command %1 (code 0x%2) for panel %3 queued by %4 controller(s)")
                              .arg(id, QString::number(command.nEventCode, 16))
                              .arg(command.nPanelID)
                              .arg(result.queued);
    log(command, text);
    m_publisher->answerCommand(id, true, QString());
}

void MqttService::refuse(const QString &id, const CEvent &command, const QString &why, const QString &logText)
{
    qWarning().noquote() << QStringLiteral("MQTT: command %1 refused: %2").arg(id, why);
    log(command, logText);
    m_publisher->answerCommand(id, false, why);
}

void MqttService::log(const CEvent &command, const QString &text)
{
    CEvent e;
    e.nPanelID = command.nPanelID;
    e.nEventCode = command.nEventCode;
    e.strNote = text;
    e.strExtra = text;
    e.strTime = nowText();
    emit eLog(e);
}
