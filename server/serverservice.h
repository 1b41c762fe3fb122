#pragma once
// The seam of the services behind the dispatcher (the centre line, the
// cloud upload, MQTT, NB-IoT, Modbus and those to come). The server object
// keeps one list of them (server/services.cpp), starts each in its phase
// with config.ini read, hands each the events that pass the panel manager
// and the dispatcher, ticks each with its state timer, asks each for its
// metrics and stops each in its place of the shutdown order. A service that
// config.ini leaves off builds nothing and costs nothing. Main thread only.

#include "core/cevent.h"

#include <QList>
#include <QObject>
#include <QString>

class FireServer;
class MetricsText;

class ServerService : public QObject
{
    Q_OBJECT
public:
    enum class Start {
        Off,      // config.ini leaves it off, or it could not start (logged)
        Running,
        Refused,  // the server must not run (another copy holds the centre port)
    };
    // The centre port doubles as the guard against a second server, so that
    // service starts before any controller is opened; the rest after.
    enum class StartPhase { BeforeControllers, AfterControllers };
    // What feeds events in stops before the drivers close; what carries
    // them out stops after, so the last events still leave.
    enum class StopPhase { BeforePanelsClose, AfterPanelsClose };

    using QObject::QObject;

    virtual StartPhase startPhase() const { return StartPhase::AfterControllers; }
    virtual StopPhase stopPhase() const { return StopPhase::AfterPanelsClose; }
    // Reads its own config.ini keys and, when switched on, builds and wires
    // itself with what the server offers (dispatcher, panel manager, view).
    virtual Start start(FireServer &server) = 0;
    // Ends what start began; called once, only after a Running start.
    virtual void stop() = 0;

    // Every event the panel manager passes on, completed from the event table.
    virtual void panelEvent(const CEvent &) {}
    // Every event the dispatcher delivers to the clients.
    virtual void eventDelivered(const CEvent &) {}
    // The server's state timer (every 5 s): controllers opened, added or
    // removed from the console show here.
    virtual void stateTimer() {}
    virtual void writeMetrics(MetricsText &) const {}

    // An outward link a service keeps, as an operator's page shows it.
    struct Link
    {
        QString name;   // what the operator calls it ("监控中心", "MQTT", ...)
        int state = -1; // 1 up, 0 lost, -1 not known yet
        QString detail; // a short word on it (peers connected, the path in use)
    };
    virtual QList<Link> links() const { return {}; }

protected:
    // The console's log record of a command a peer sent towards a panel.
    static CEvent commandLogRecord(const CEvent &command, const QString &text);
};

namespace ServerServices {
// One of every service the server knows, in start order, children of parent.
QList<ServerService *> create(QObject *parent);
}
