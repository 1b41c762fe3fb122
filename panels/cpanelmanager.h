#pragma once
// Owns every panel driver: turns a stored controller record into a driver of
// its model, opens, closes and deletes drivers for the console, completes
// their events from the event table, hands client commands to them and
// watches the two models that are not polled. Lives in the main thread.

#include "config/controllerinfo.h"
#include "core/cevent.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QVariant>

#include <bitset>
#include <functional>

class Controller;

class CPanelManager : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    explicit CPanelManager(QObject *parent = nullptr);
    // Closes every open driver, so no worker outlives the objects it uses.
    ~CPanelManager() override;

    // The time source of the communication check and of the manager's own
    // events; the default is the local clock. Also restarts the check window.
    void setClock(Clock clock);

    // Takes ownership. A second record with a held number is discarded; a
    // type code without a model keeps its record and gets no driver.
    void addController(ControllerInfo *info);
    // Closes the driver if its link is open, then deletes driver and record.
    void removeController(quint8 nControllerID);
    void clearControllers();

    bool openPanel(quint8 nControllerID);
    void closePanel(quint8 nControllerID);
    void openAllPanels();
    void closeAllPanels();
    bool isPanelConnected(quint8 nControllerID) const;

    // What became of a client, MQTT or console command.
    struct CommandResult
    {
        int queued = 0;      // drivers that queued it
        QString error;       // why no panel got it; empty when one did
        bool ok() const { return error.isEmpty(); }
    };
    // Routes a command by its panel number, so it reaches only the panel it
    // names: a number other than 0 goes to the driver of that controller
    // number, or to the one network driver that has reported that panel in
    // its events; 0 takes the site-wide commands (silence, reset, clock) to
    // every driver and refuses device commands, whose address means nothing
    // without a panel. Every refusal is logged with its reason.
    CommandResult sendCommand(const CEvent &command);

    // Called every 5 s: the listening models get one lost event after 30 s
    // without bytes ("通讯超时") or with bytes but no frame whose check sum
    // held ("校验错误"), and one restored event when good frames come again.
    void checkCommState();

    ControllerInfo *controllerInfo(quint8 nControllerID) const { return m_controllerInfos.value(nControllerID); }
    Controller *controller(quint8 nControllerID) const { return m_controllers.value(nControllerID); }
    // Held controller numbers in ascending order.
    QList<quint8> controllerIds() const;
    // Events its driver has sent since the start (monitoring).
    quint64 eventCount(quint8 nControllerID) const { return m_eventCounts.value(nControllerID); }
    // Commands that reached no panel since the start (monitoring).
    quint64 commandsUnrouted() const { return m_nUnrouted; }

signals:
    void sendEvent(const CEvent &e);

public slots:
    void slotRevCommData(const CEvent &event);
    void slotHandleCommandData(const CEvent &command);
    void slotIndicateRemoteLight(uchar nStatus);

protected:
    // A driver from the model registry; null for a code without a model.
    // Tests override it to put stand-ins behind the manager.
    virtual Controller *createDriver(const ControllerInfo &info);

private:
    // The driver a command for panel nPanel belongs to; null (and why) when
    // no driver or more than one could claim it.
    Controller *commandOwner(quint8 nPanel, QString *why) const;
    void emitPanelNotice(quint8 nControllerID, int nProperty, const QString &strText = QString());
    // Disconnects, closes an open link and deletes the driver (not the record).
    void destroyDriver(Controller *driver);

    QHash<quint8, ControllerInfo *> m_controllerInfos; // owned; key = low 8 bits of the number
    QHash<quint8, Controller *> m_controllers;         // owned; same key
    QHash<quint8, quint64> m_eventCounts;              // driver events per number, for monitoring
    // Panel numbers each network driver has reported in its events (same key).
    QHash<quint8, std::bitset<256>> m_reportedPanels;
    quint64 m_nUnrouted = 0;
    QDateTime m_lastCheckTime;
    Clock m_clock;
};
