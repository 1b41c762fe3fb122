#pragma once
// Everything the rest of the server must know about a panel model, declared
// once in the model's own files (a static model() of the driver class) and
// registered with one line in panels/models/registry.cpp. The panel manager
// creates drivers through it, the driver base takes the pacing and the
// communication event code from it, the console and the store ask it which
// type codes are network panels, and the panel simulator tool finds the
// model's simulator by its key.

#include <QList>
#include <QSerialPort>
#include <QString>

class Controller;
struct ControllerInfo;

struct PanelModel
{
    enum LinkKind {
        Serial,   // "COM:COM<n>" from the record's port number
        Udp,      // the record's network address; the driver owns a datagram socket
        Library,  // the record's network address; a panel library owns the link
    };
    enum WritePacing {
        WholeFrame,      // one write per frame
        BytePaced,       // one byte at a time, 10 ms after each
        AddressMark,     // byte 0 under mark parity, 4 ms, the rest under space parity
    };

    QString name;                 // the driver's type name, e.g. "ControllerBirch"
    QList<int> typeCodes;         // controller type codes that select this model
    LinkKind link = Serial;
    qint32 baudRate = 9600;       // serial line settings (8 data bits, 1 stop bit, no flow control)
    QSerialPort::Parity parity = QSerialPort::NoParity;
    // Event code of the driver's own communication lost/restored events:
    // 17 for both, or 0 for 101 (lost) and 100 (restored).
    int commEventCode = 0;
    // Not polled: the panel speaks on its own, and the manager's periodic
    // check judges its silence instead of failed polls.
    bool listening = false;
    WritePacing pacing = WholeFrame;
    // Shows the remote-centre link state (setRemoteLight).
    bool remoteLamp = false;
    // Fronts a network of panels and reports their numbers in its events: a
    // command naming one of those numbers belongs to this driver as well.
    bool frontsNetwork = false;
    // The panel simulator tool's mode that plays this model; empty: none.
    QString simulator;
    // Builds a driver for a record of one of typeCodes.
    Controller *(*create)(const QString &strLink, int nControllerID, int nControllerType) = nullptr;

    bool isNetwork() const { return link != Serial; }
    // The link text the driver's constructor takes for this record.
    QString linkText(const ControllerInfo &info) const;
    Controller *createDriver(const ControllerInfo &info) const;
};

namespace PanelModels {
// Every registered model, in registration order.
const QList<const PanelModel *> &all();
// The model of a type code; null when no model has it.
const PanelModel *forType(int typeCode);
// By type name ("ControllerBirch") or its short form ("birch"), any case.
const PanelModel *byName(const QString &name);
bool isNetworkType(int typeCode);
}

// The constructor every model registers: new T(link, number, type).
template<class T>
Controller *createPanelDriver(const QString &strLink, int nControllerID, int nControllerType)
{
    return new T(strLink, nControllerID, nControllerType);
}
