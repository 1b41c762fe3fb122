#pragma once
// What an operator's view shows of each controller beyond its stored row:
// running or stopped, and whether its line answers ("ok", "lost",
// "unknown") since when. Taken from the panel manager and from the
// communication events passing through it; MQTT and the web console share
// it. Main thread.

#include "core/cevent.h"

#include <QHash>
#include <QList>
#include <QString>

class CPanelManager;

class ControllerStates
{
public:
    struct State
    {
        quint8 id = 0;
        QString name;
        int type = 0;
        QString typeName;
        bool running = false;
        QString comm = QStringLiteral("unknown");
        QString since; // "yyyy-MM-dd hh:mm:ss" of the last change
    };

    explicit ControllerStates(CPanelManager *panels) : m_panels(panels) {}

    // Takes a communication event of a running driver; false for any other
    // event. The caller refreshes once the event has run its course: an open
    // reports before the driver is started.
    bool panelEvent(const CEvent &e);
    // Every controller held, in ascending number; controllers gone since the
    // last call are forgotten (and listed in *gone when given).
    QList<State> refresh(QList<quint8> *gone = nullptr);

private:
    struct Tracked
    {
        QString comm = QStringLiteral("unknown"); // from a running driver's communication events
        QString commTime;                         // time of the event that set comm
        bool shown = false;                       // running and shownComm were reported
        bool running = false;
        QString shownComm;
        QString since;
    };

    CPanelManager *m_panels;
    QHash<quint8, Tracked> m_tracked;
};
