#include "server/mqttservice.h"

#include "clients/ceventprocess.h"
#include "core/servercontext.h"
#include "gateways/mqttpublisher.h"
#include "panels/cpanelmanager.h"
#include "server/controllerstates.h"
#include "server/fireserver.h"
#include "server/metricstext.h"

#include <QDebug>
#include <QTimer>

MqttService::MqttService(QObject *parent) : ServerService(parent)
{
}

MqttService::~MqttService() = default;

ServerService::Start MqttService::start(FireServer &server)
{
    if (!ServerContext::instance().iniSwitch(QStringLiteral("Mqtt/enabled")))
        return Start::Off;
    CEventProcess *dispatcher = server.dispatcher();
    m_panels = server.panelManager();
    m_states.reset(new ControllerStates(m_panels));
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
    if (!m_states->panelEvent(e) || m_refreshQueued)
        return;
    m_refreshQueued = true;
    QTimer::singleShot(0, this, &MqttService::refreshControllers);
}

void MqttService::refreshControllers()
{
    m_refreshQueued = false;
    if (!m_publisher)
        return; // stopped
    QList<quint8> gone;
    for (const ControllerStates::State &c : m_states->refresh(&gone)) {
        MqttCodec::ControllerState state;
        state.name = c.name;
        state.type = c.type;
        state.typeName = c.typeName;
        state.running = c.running;
        state.comm = c.comm;
        state.since = c.since;
        m_publisher->setControllerState(c.id, state);
    }
    for (quint8 id : gone)
        m_publisher->removeControllerState(id);
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
    emit eLog(commandLogRecord(command, text));
}

QList<ServerService::Link> MqttService::links() const
{
    if (!m_publisher)
        return {};
    return {{QStringLiteral("MQTT"), m_publisher->isConnected() ? 1 : 0, QString()}};
}
