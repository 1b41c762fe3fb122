#pragma once
// Publishing to MQTT (config.ini's group Mqtt): the events the dispatcher
// delivers and its active conditions, the state of every controller (from
// the panel manager and the communication events passing through it), and
// the broker's commands taken to the panels as a client's are. Main thread.

#include "core/cevent.h"
#include "server/serverservice.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class ControllerStates;
class CPanelManager;
class MqttPublisher;

class MqttService : public ServerService
{
    Q_OBJECT
public:
    explicit MqttService(QObject *parent = nullptr);
    ~MqttService() override;

    Start start(FireServer &server) override;
    void stop() override;
    void panelEvent(const CEvent &e) override;
    void eventDelivered(const CEvent &e) override;
    void stateTimer() override { refreshControllers(); }
    void writeMetrics(MetricsText &t) const override;
    QList<Link> links() const override;

    MqttPublisher *publisher() const { return m_publisher; }

    // Hands every controller's state to the publisher (which sends what
    // changed) and clears the states of controllers that are gone. Runs
    // after each communication event and on the server's state timer, which
    // also catches controllers opened, added or removed from the console.
    void refreshControllers();

signals:
    // One log record per command, as a client's eLog.
    void eLog(const CEvent &evt);

private:
    void onCommand(const QString &id, const CEvent &command);
    void refuse(const QString &id, const CEvent &command, const QString &why, const QString &logText);
    void log(const CEvent &command, const QString &text);

    MqttPublisher *m_publisher = nullptr; // child
    CPanelManager *m_panels = nullptr;
    std::unique_ptr<ControllerStates> m_states;
    bool m_refreshQueued = false;
};
