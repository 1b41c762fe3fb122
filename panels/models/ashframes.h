#pragma once
// Ash's own reading of the Birch family's frames: its event-code table, the
// address text of its reports and the power/fault bits of its status frames.
// Pure code; the exchange logic lives in ControllerAsh.

#include "panels/models/birchframes.h"

#include <QList>

namespace AshFrames {

// Panel code to event code; 0 = no event.
int tableCode(quint8 c);

// Decoding of a 0xAA report body; record bookkeeping is left to the driver.
BirchFrames::Report decodeReport(const QByteArray &body);

struct StatusEvent {
    int eventCode = 0;
    int property = 0;
    QString strCode;   // empty, or "0000<id><97|98>"
};

// The latched panel-level conditions between status frames.
struct StatusLatch {
    bool bit4 = false;
    bool bit3 = false;
};

// Events of one 0xB1 status body, in order; updates the latch.
QList<StatusEvent> decodeStatus(const QByteArray &body, int id, StatusLatch &latch);

// "0000%1%2": the controller number as two digits and 97 or 98.
QString panelCode(int id, int suffix);

} // namespace AshFrames
