#pragma once
// One controller's configuration as stored in the settings database; the
// panel manager owns one per configured controller.

#include <QString>
#include <QtGlobal>

struct ControllerInfo
{
    quint8 comPort = 0;                             // serial types: port number from CommValue
    QString netAddress = QStringLiteral("/127.0.0.1:80"); // network types: CommValue unchanged
    QString name;                                   // ControllerName
    int controllerId = 1;                           // ControllerID; the manager keys by its low 8 bits
    int controllerType = 150;                       // ControllerType & 0xFF
    // CommValue as stored: the console's connection column shows a USB port
    // by this text, which comPort alone cannot give back.
    QString commValue;
    // A network panel: CommValue is "0/<address>:<port>" (set by the store
    // from the panel models' answer for the type code).
    bool isNetwork = false;
};
