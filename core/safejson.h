#pragma once
// JSON from peers (clients, NB-IoT platform, Modbus converters, MQTT
// commands). Qt 5.15's QJsonDocument::fromJson leaks the earlier value of a
// key repeated in one object when that value is an object or an array
// (about 100 bytes each time), so a peer repeating {"a":{"b":1},"a":1} in
// one message could grow the server without bound, even before it logs in.
// Such a document is refused before Qt parses it; a repeated key with
// plain values keeps Qt's meaning (the last one counts).

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

namespace SafeJson {

// QJsonDocument::fromJson, or a null document with error set to why.
QJsonDocument parse(const QByteArray &text, QString *error = nullptr);

} // namespace SafeJson
