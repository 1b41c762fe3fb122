#pragma once
// What the MQTT publisher puts on the wire and what it accepts back, apart
// from any connection: delivered events, controller states and the active
// conditions as compact JSON with readable member names, and the commands of
// the "commands" topic, checked member by member before anything is made of
// them.

#include "core/cevent.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace MqttCodec {

// A command payload longer than this is refused unread.
constexpr int MaxCommandBytes = 4096;

// The event as one compact JSON object without "seq" (the journal keeps it
// so; the number is added when it is sent).
// Number and name are the event table's, as the record carries them.
QByteArray encodeEvent(const CEvent &e);
// The stored object with "seq" as its first member.
QByteArray withSeq(const QByteArray &event, qint64 seq);

struct ControllerState
{
    QString name;
    int type = 0;
    QString typeName;
    bool running = false;
    QString comm = QStringLiteral("unknown"); // "ok", "lost" or "unknown"
    QString since;                             // "yyyy-MM-dd hh:mm:ss" of the last change
};
QByteArray encodeControllerState(const ControllerState &s);

// {"count": n, "events": [event objects as encodeEvent writes them]}.
QByteArray encodeActive(const QList<CEvent> &events);

struct Command
{
    QString id;    // as the sender gave it; empty when it gave none usable
    QString cmd;   // the command word, lower case
    CEvent event;  // the panel command; meaningful only when error is empty
    QString error; // why the command is refused; empty when it is valid
};
// {"id", "cmd": silence|reset|settime|start|stop|disable|enable|read,
//  "panel", "from", "to"}; read takes "loop", "channel" and "switch" instead
// of the device codes. Unknown members are ignored.
Command decodeCommand(const QByteArray &payload);
// {"id", "ok", "error"}; an empty id is written as null.
QByteArray encodeResult(const QString &id, bool ok, const QString &error);

} // namespace MqttCodec
