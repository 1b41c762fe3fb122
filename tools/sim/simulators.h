#pragma once
// The panel simulators the panel simulator tool can run, one line per
// simulator in simulators.cpp. A panel model names its simulator's key in
// its PanelModel; the tool finds the entry here by that key.

#include "panels/panelmodel.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

class PanelSim;
class SimTransport;

struct SimulatorEntry
{
    QString key;                          // PanelModel::simulator
    QList<QCommandLineOption> options;    // the simulator's own options
    // A simulator of the model with the simulator's own options applied;
    // null with *error set when an option is wrong.
    PanelSim *(*create)(const PanelModel &model, const QCommandLineParser &parser, QString *error) = nullptr;
    // Panels that are not on a serial line: runs sim on the simulator's own
    // transport (a socket from the tool's --listen/--server options) and
    // returns the transport; null with *error set when it cannot start.
    SimTransport *(*open)(PanelSim &sim, const PanelModel &model, const QCommandLineParser &parser,
                     QString *error) = nullptr;
};

namespace Simulators {
const QList<SimulatorEntry> &all();
const SimulatorEntry *byKey(const QString &key);
}
