#include "server/controllerstates.h"

#include "config/configtables.h"
#include "panels/controller.h"
#include "panels/cpanelmanager.h"

#include <QSet>

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

bool ControllerStates::panelEvent(const CEvent &e)
{
    if (!isCommunicationEvent(e))
        return false;
    // Only a running driver's word counts: the manager announces "normal"
    // before an open is even tried, and "lost" for a controller the operator
    // closed; neither says anything about the line.
    if (m_panels->isPanelConnected(e.nPanelID)) {
        Tracked &t = m_tracked[e.nPanelID];
        t.comm = e.nEventProperty == 0 ? kOk : kLost;
        t.commTime = e.strTime.isEmpty() ? nowText() : e.strTime;
    }
    return true;
}

QList<ControllerStates::State> ControllerStates::refresh(QList<quint8> *gone)
{
    const ConfigTables &tables = ConfigTables::instance();
    QList<State> out;
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
        State s;
        s.id = id;
        s.name = info->name;
        s.type = info->controllerType;
        s.typeName = tables.systemType(info->controllerType).name;
        s.running = t.running;
        s.comm = t.shownComm;
        s.since = t.since;
        out.append(s);
    }
    for (auto it = m_tracked.begin(); it != m_tracked.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        if (gone)
            gone->append(it.key());
        it = m_tracked.erase(it);
    }
    return out;
}
