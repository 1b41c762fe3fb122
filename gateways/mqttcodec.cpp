#include "gateways/mqttcodec.h"

#include "core/safejson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace MqttCodec {

namespace {
void appendString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (uchar(c) < 0x20) {
                out += "\\u00";
                out += hex[uchar(c) >> 4];
                out += hex[uchar(c) & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendMember(QByteArray &out, const char *key, qint64 value)
{
    out += key;
    out += QByteArray::number(value);
}

void appendMember(QByteArray &out, const char *key, const QString &value)
{
    out += key;
    appendString(out, value);
}

struct CommandWord
{
    const char *word;
    int code;
    enum Needs { PanelOnly, AnyPanel, Devices, Reading } needs;
};

const CommandWord kWords[] = {
    {"silence", CmdSilence, CommandWord::PanelOnly},
    {"reset", CmdReset, CommandWord::PanelOnly},
    {"settime", CmdSyncTime, CommandWord::AnyPanel},
    {"start", CmdStart, CommandWord::Devices},
    {"stop", CmdStop, CommandWord::Devices},
    {"disable", CmdDisable, CommandWord::Devices},
    {"enable", CmdEnable, CommandWord::Devices},
    {"read", CmdReadValue, CommandWord::Reading},
};

// An integral JSON number within [min, max]; a missing member gives
// *value = fallback when not required.
bool readInt(const QJsonObject &o, const char *key, int min, int max, bool required, int fallback, int *value,
             QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        if (required) {
            *error = QStringLiteral("\"%1\" is missing").arg(QLatin1String(key));
            return false;
        }
        *value = fallback;
        return true;
    }
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || std::floor(d) != d || d < min || d > max) {
        *error = QStringLiteral("\"%1\" must be a whole number from %2 to %3").arg(QLatin1String(key)).arg(min).arg(max);
        return false;
    }
    *value = int(d);
    return true;
}

// A device code as the panels take it: 1 to 32 letters and digits.
bool readCode(const QJsonObject &o, const char *key, bool required, QString *code, QString *error)
{
    static const QRegularExpression kCode(QStringLiteral("^[0-9A-Za-z]{1,32}$"));
    const QJsonValue v = o.value(QLatin1String(key));
    if ((v.isUndefined() || v.isNull()) && !required)
        return true;
    if (!v.isString() || !kCode.match(v.toString()).hasMatch()) {
        *error = QStringLiteral("\"%1\" must be a device code of 1 to 32 letters and digits").arg(QLatin1String(key));
        return false;
    }
    *code = v.toString();
    return true;
}
} // namespace

QByteArray encodeEvent(const CEvent &e)
{
    // Written by hand rather than through QJsonObject: it is the one thing
    // done for every event, and the members keep the order a reader expects.
    QByteArray out;
    out.reserve(320);
    appendMember(out, "{\"panel\":", e.nPanelID);
    appendMember(out, ",\"panelType\":", e.nPanelType);
    appendMember(out, ",\"com\":", e.nCom);
    appendMember(out, ",\"eventClass\":", e.nEventType);
    appendMember(out, ",\"eventNumber\":", e.nEventNo);
    appendMember(out, ",\"eventName\":", e.strEventName);
    appendMember(out, ",\"property\":", e.nEventProperty);
    appendMember(out, ",\"code\":", e.strCode);
    appendMember(out, ",\"endCode\":", e.strEndCode);
    appendMember(out, ",\"deviceType\":", e.nDevType);
    appendMember(out, ",\"value\":", e.nValue);
    appendMember(out, ",\"note\":", e.strNote);
    appendMember(out, ",\"time\":", e.strTime);
    out += '}';
    return out;
}

QByteArray withSeq(const QByteArray &event, qint64 seq)
{
    QByteArray out = "{\"seq\":" + QByteArray::number(seq);
    if (event.size() > 2)
        out += ',';
    out += event.mid(1);
    return out;
}

QByteArray encodeControllerState(const ControllerState &s)
{
    const QJsonObject o{
        {QStringLiteral("name"), s.name},
        {QStringLiteral("type"), s.type},
        {QStringLiteral("typeName"), s.typeName},
        {QStringLiteral("running"), s.running},
        {QStringLiteral("comm"), s.comm},
        {QStringLiteral("since"), s.since},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray encodeActive(const QList<CEvent> &events)
{
    QByteArray out = "{\"count\":" + QByteArray::number(events.size()) + ",\"events\":[";
    for (int i = 0; i < events.size(); ++i) {
        const CEvent &e = events.at(i);
        if (i > 0)
            out += ',';
        out += encodeEvent(e);
    }
    out += "]}";
    return out;
}

Command decodeCommand(const QByteArray &payload)
{
    Command c;
    if (payload.size() > MaxCommandBytes) {
        c.error = QStringLiteral("command of %1 bytes is longer than %2").arg(payload.size()).arg(MaxCommandBytes);
        return c;
    }
    QString parseError;
    const QJsonDocument doc = SafeJson::parse(payload, &parseError);
    if (!doc.isObject()) {
        c.error = !parseError.isEmpty() ? QStringLiteral("not JSON: %1").arg(parseError)
                                        : QStringLiteral("not a JSON object");
        return c;
    }
    const QJsonObject o = doc.object();
    const QJsonValue id = o.value(QLatin1String("id"));
    if (!id.isString() || id.toString().isEmpty() || id.toString().size() > 128) {
        c.error = QStringLiteral("\"id\" must be a text of 1 to 128 characters");
        return c;
    }
    c.id = id.toString();
    c.cmd = o.value(QLatin1String("cmd")).toString().trimmed().toLower();
    const CommandWord *word = nullptr;
    for (const CommandWord &w : kWords) {
        if (c.cmd == QLatin1String(w.word))
            word = &w;
    }
    if (!word) {
        c.error = QStringLiteral("\"cmd\" must be one of silence, reset, settime, start, stop, disable, enable, read");
        return c;
    }

    CEvent &e = c.event;
    e.nEventCode = word->code;
    int panel = 0;
    const bool anyPanel = word->needs == CommandWord::AnyPanel;
    if (!readInt(o, "panel", anyPanel ? 0 : 1, 255, !anyPanel, 0, &panel, &c.error))
        return c;
    e.nPanelID = quint8(panel);
    if (word->needs == CommandWord::Devices) {
        if (!readCode(o, "from", true, &e.strCode, &c.error) || !readCode(o, "to", false, &e.strEndCode, &c.error))
            return c;
        if (e.strEndCode.isEmpty())
            e.strEndCode = e.strCode;
    } else if (word->needs == CommandWord::Reading) {
        if (!readInt(o, "loop", 0, 255, true, 0, &e.nLoop, &c.error)
            || !readInt(o, "channel", 0, 255, true, 0, &e.nChannel, &c.error)
            || !readInt(o, "switch", 0, 1, false, 0, &e.nDevType, &c.error))
            return c;
        e.strNote = QStringLiteral("ReadValue");
    }
    return c;
}

QByteArray encodeResult(const QString &id, bool ok, const QString &error)
{
    const QJsonObject o{
        {QStringLiteral("id"), id.isEmpty() ? QJsonValue() : QJsonValue(id)},
        {QStringLiteral("ok"), ok},
        {QStringLiteral("error"), error},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace MqttCodec
