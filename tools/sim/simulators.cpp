// The simulators of the panel simulator tool: one line per simulator.

#include "tools/sim/simulators.h"

#include "tools/sim/birchpanelsim.h"
#include "tools/sim/cedarpanelsim.h"
#include "tools/sim/glenpanelsim.h"
#include "tools/sim/marshpanelsim.h"
#include "tools/sim/recordpanelsim.h"

const QList<SimulatorEntry> &Simulators::all()
{
    static const QList<SimulatorEntry> entries = {
        BirchPanelSim::entry(),
        CedarPanelSim::entry(),
        ElmPanelSim::entry(),
        GlenPanelSim::entry(),
        JuniperPanelSim::entry(),
        MarshPanelSim::entry(),
    };
    return entries;
}

const SimulatorEntry *Simulators::byKey(const QString &key)
{
    for (const SimulatorEntry &e : all()) {
        if (e.key == key)
            return &e;
    }
    return nullptr;
}
