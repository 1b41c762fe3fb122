#pragma once
// Feeds the MQTT publisher from the server's components: the events the
// dispatcher delivers and its active conditions, the state of every
// controller (from the panel manager and the communication events passing
// through it), and takes the publisher's commands to the panels by the road
// a client's SETCONTROL takes. Main thread only.

#include "core/cevent.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

class CEventProcess;
class CPanelManager;
class MqttPublisher;

class MqttBridge : public QObject
{
    Q_OBJECT
public:
    MqttBridge(MqttPublisher *publisher, CEventProcess *dispatcher, CPanelManager *panels, QObject *parent = nullptr);

    // Hands every controller's state to the publisher (which sends what
    // changed) and clears the states of controllers that are gone. Runs
    // after each communication event and on the server's state timer, which
    // also catches controllers opened, added or removed from the console.
    void refreshControllers();

signals:
    // One log record per command, as a client's eLog.
    void eLog(QVariant evt);

private:
    void onPanelEvent(const QVariant &var);
    void onCommand(const QString &id, const CEvent &command);
    void refuse(const QString &id, const CEvent &command, const QString &why, const QString &logText);
    void log(const CEvent &command, const QString &text);

    // What the bridge knows of one controller beyond its record.
    struct Tracked
    {
        QString comm = QStringLiteral("unknown"); // from a running driver's communication events
        QString commTime;                         // time of the event that set comm
        bool shown = false;                       // running and shownComm were handed over
        bool running = false;
        QString shownComm;
        QString since;
    };

    MqttPublisher *m_publisher;
    CPanelManager *m_panels;
    QHash<quint8, Tracked> m_tracked;
    bool m_refreshQueued = false;
};
