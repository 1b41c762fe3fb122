#include "clients/clientcodec.h"

#include "config/configtables.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>

namespace ClientCodec {
namespace {

// The one table of event members: letter, and how the field is read and written.
enum Field : unsigned {
    Com = 1u << 0, PanelID = 1u << 1, PanelType = 1u << 2, EventType = 1u << 3, EventCode = 1u << 4,
    Property = 1u << 5, Loop = 1u << 6, Address = 1u << 7, Channel = 1u << 8, DevType = 1u << 9,
    Note = 1u << 10, Code = 1u << 11, EndCode = 1u << 12, Time = 1u << 13, Value = 1u << 14, Extra = 1u << 15,
};

struct Member
{
    Field field;
    const char *letter;
};

// In the order the members are written.
const Member kMembers[] = {
    {Com, "c"}, {PanelID, "d"}, {PanelType, "e"}, {EventType, "f"}, {EventCode, "g"}, {Property, "h"},
    {Loop, "i"}, {Address, "j"}, {Channel, "x"}, {DevType, "k"}, {Note, "l"}, {Code, "m"},
    {EndCode, "n"}, {Time, "o"}, {Value, "p"}, {Extra, "w"},
};

// What each kind of object carries.
const unsigned kNewEventMessage = Com | PanelID | PanelType | EventType | EventCode | Property | Loop | Address
                                  | Channel | DevType | Note | Code | EndCode | Time | Value;
const unsigned kSetControl = PanelID | PanelType | EventCode | Property | Loop | Address | DevType | Channel
                             | Note | Code | EndCode | Time | Extra;
const unsigned kNewEventRequest = PanelID | EventCode | Property | Loop | Address | DevType | Note | Code
                                  | EndCode | Time;
const unsigned kReadValueSwitch = PanelID | PanelType | Loop | DevType | Channel;
const unsigned kReadValue = PanelID | Loop | Channel | DevType;

// An event delivered to clients carries the event table's number in "g";
// everything a client sends carries its own code there.
qint32 *intField(CEvent &e, Field f, unsigned fields)
{
    switch (f) {
    case PanelType: return &e.nPanelType;
    case EventType: return &e.nEventType;
    case EventCode: return fields == kNewEventMessage ? &e.nEventNo : &e.nEventCode;
    case Property: return &e.nEventProperty;
    case Loop: return &e.nLoop;
    case Address: return &e.nAddress;
    case Channel: return &e.nChannel;
    case DevType: return &e.nDevType;
    case Value: return &e.nValue;
    default: return nullptr;
    }
}

QString *textField(CEvent &e, Field f)
{
    switch (f) {
    case Note: return &e.strNote;
    case Code: return &e.strCode;
    case EndCode: return &e.strEndCode;
    case Time: return &e.strTime;
    case Extra: return &e.strExtra;
    default: return nullptr;
    }
}

void writeEvent(QJsonObject &o, const CEvent &event, unsigned fields)
{
    CEvent e = event;
    for (const Member &m : kMembers) {
        if (!(fields & m.field))
            continue;
        const QLatin1String key(m.letter);
        if (m.field == Com)
            o.insert(key, int(e.nCom));
        else if (m.field == PanelID)
            o.insert(key, int(e.nPanelID));
        else if (qint32 *n = intField(e, m.field, fields))
            o.insert(key, *n);
        else if (QString *s = textField(e, m.field))
            o.insert(key, *s);
    }
}

CEvent readEvent(const QJsonObject &o, unsigned fields)
{
    CEvent e;
    for (const Member &m : kMembers) {
        if (!(fields & m.field))
            continue;
        const QJsonValue v = o.value(QLatin1String(m.letter));
        if (m.field == Com)
            e.nCom = quint8(v.toInt());
        else if (m.field == PanelID)
            e.nPanelID = quint8(v.toInt());
        else if (qint32 *n = intField(e, m.field, fields))
            *n = v.toInt();
        else if (QString *s = textField(e, m.field))
            *s = v.toString();
    }
    return e;
}

// The login members: q r s t u.
void writeUser(QJsonObject &o, const UserInfo &u)
{
    o.insert(QStringLiteral("q"), u.nNumber);
    o.insert(QStringLiteral("r"), u.strText);
    o.insert(QStringLiteral("s"), u.server);
    o.insert(QStringLiteral("t"), u.userName);
    o.insert(QStringLiteral("u"), u.password);
}

UserInfo readUser(const QJsonObject &o)
{
    UserInfo u;
    u.nNumber = o.value(QLatin1String("q")).toInt();
    u.strText = o.value(QLatin1String("r")).toString();
    u.server = o.value(QLatin1String("s")).toString();
    u.userName = o.value(QLatin1String("t")).toString();
    u.password = o.value(QLatin1String("u")).toString();
    return u;
}

struct Word
{
    Request::Kind kind;
    const char *text;
    unsigned fields;
};

const Word kWords[] = {
    {Request::Login, "LOGIN", 0},
    {Request::Logout, "LOGOUT", 0},
    {Request::SetControl, "SETCONTROL", kSetControl},
    {Request::SetTime, "SETTIME", 0},
    {Request::ReadValueSwitch, "READVALUESWITCH", kReadValueSwitch},
    {Request::ReadValue, "READVALUE", kReadValue},
    {Request::GetRemote, "GETREMOTE", 0},
    {Request::DataReceived, "DATARECEIVED", 0},
    {Request::NewEvent, "NEWEVENT", kNewEventRequest},
    {Request::Lamp, "SETLAMP", 0},
};

const Word *wordOf(Request::Kind kind)
{
    for (const Word &w : kWords) {
        if (w.kind == kind)
            return &w;
    }
    return nullptr;
}

bool isLoginWord(const QString &upper)
{
    return upper == QLatin1String("LOGIN") || upper == QLatin1String("LOGOUT");
}

bool isEmptyResultWord(const QString &upper)
{
    return upper == QLatin1String("REMOTEOK") || upper == QLatin1String("REMOTEFAILED")
           || upper == QLatin1String("REMOTELEDON") || upper == QLatin1String("REMOTELEDBLINK")
           || upper == QLatin1String("REMOTELEDOFF");
}

const char *const kNoSuchCommand = "Program 'getStringFromType' No This Command!";

} // namespace

Request decodeRequest(const QJsonObject &obj)
{
    Request r;
    if (!obj.contains(QLatin1String("b")))
        return r;
    r.word = obj.value(QLatin1String("b")).toString();
    const QString word = r.word.trimmed().toUpper();
    r.kind = Request::Unknown;
    for (const Word &w : kWords) {
        if (word == QLatin1String(w.text)) {
            r.kind = w.kind;
            break;
        }
    }
    // Any other word that names READVALUE reads a value, as clients have long sent it.
    if (r.kind == Request::Unknown && word.contains(QLatin1String("READVALUE")))
        r.kind = Request::ReadValue;
    if (r.kind == Request::Unknown && word == QLatin1String("SOUND"))
        r.kind = Request::Lamp;

    switch (r.kind) {
    case Request::Login:
    case Request::Logout:
        r.user = readUser(obj);
        break;
    case Request::ReadValue:
        r.event = readEvent(obj, kReadValue);
        // The client's switch is inverted on the panel side.
        r.event.nDevType = r.event.nDevType == 1 ? 0 : 1;
        r.event.strNote = QStringLiteral("ReadValue");
        break;
    default:
        if (const Word *w = wordOf(r.kind))
            r.event = readEvent(obj, w->fields);
        break;
    }
    return r;
}

QJsonObject encodeRequest(const Request &request)
{
    QJsonObject o;
    const Word *w = wordOf(request.kind);
    o.insert(QStringLiteral("b"), !request.word.isEmpty() ? request.word
                                  : w ? QString::fromLatin1(w->text) : QString());
    switch (request.kind) {
    case Request::Login:
    case Request::Logout:
        writeUser(o, request.user);
        break;
    case Request::ReadValue: {
        CEvent e = request.event;
        e.nDevType = e.nDevType == 0 ? 1 : 0;
        writeEvent(o, e, kReadValue);
        break;
    }
    default:
        if (w)
            writeEvent(o, request.event, w->fields);
        break;
    }
    return o;
}

int commandCodeFor(int clientCode)
{
    if (clientCode >= 0x8A && clientCode <= 0x93)
        return clientCode;
    switch (clientCode) {
    case 16: return CmdSilence;
    case 18: return CmdControl97;
    case 11: return CmdReset;
    default: return 0;
    }
}

QJsonObject encodeMessage(int nSerial, const QString &strWord, const QVariant &payload)
{
    QJsonObject o;
    o.insert(QStringLiteral("a"), QString::number(nSerial));
    o.insert(QStringLiteral("b"), strWord);
    const QString word = strWord.toUpper();
    if (word == QLatin1String("NEWEVENT"))
        writeEvent(o, CEvent::fromVariant(payload), kNewEventMessage);
    else if (isLoginWord(word))
        writeUser(o, UserInfo::fromVariant(payload));
    else if (word == QLatin1String("LOGOK"))
        o.insert(QStringLiteral("v"), QStringLiteral("OK"));
    else if (word == QLatin1String("LOGFAILED"))
        o.insert(QStringLiteral("v"), QStringLiteral("FAILED"));
    else if (isEmptyResultWord(word))
        o.insert(QStringLiteral("v"), QString());
    else
        o.insert(QStringLiteral("v"), QLatin1String(kNoSuchCommand));
    return o;
}

QByteArray encodeDocument(int nSerial, const QString &strWord, const QVariant &payload)
{
    if (strWord == QLatin1String("NewEvent"))
        return withSerial(nSerial, eventBody(CEvent::fromVariant(payload)));
    return QJsonDocument(encodeMessage(nSerial, strWord, payload)).toJson(QJsonDocument::Indented);
}

QByteArray eventBody(const CEvent &e)
{
    // Members are written in key order, so "a" comes first and the number
    // can be put in front of the rest.
    QJsonObject o;
    o.insert(QStringLiteral("b"), QStringLiteral("NewEvent"));
    writeEvent(o, e, kNewEventMessage);
    return QJsonDocument(o).toJson(QJsonDocument::Indented).mid(2);
}

QByteArray withSerial(int nSerial, const QByteArray &body)
{
    QByteArray data;
    data.reserve(body.size() + 24);
    data += "{\n    \"a\": \"";
    data += QByteArray::number(nSerial);
    data += "\",\n";
    data += body;
    return data;
}

CEvent decodeEvent(const QJsonObject &message)
{
    return readEvent(message, kNewEventMessage);
}

QString describeMessage(const QString &strWord, const QVariant &payload)
{
    const QString word = strWord.toUpper();
    if (word == QLatin1String("NEWEVENT")) {
        const CEvent e = CEvent::fromVariant(payload);
        QString text = QStringLiteral("Com:") + QString::number(e.nCom) + QLatin1Char(' ')
            + QStringLiteral("PanelID:") + QString::number(e.nPanelID) + QLatin1Char(' ')
            + QStringLiteral("PanelType:") + ConfigTables::instance().systemType(e.nPanelType).name
            + QLatin1Char(' ');
        if (!e.strCode.isEmpty())
            text += QStringLiteral("Code:") + e.strCode + QLatin1Char(' ');
        if (e.nValue >= 1)
            text += QStringLiteral("Value:") + QString::number(e.nValue) + QLatin1Char(' ');
        if (!e.strNote.isEmpty())
            text += QStringLiteral("note:") + e.strNote;
        return text;
    }
    if (isLoginWord(word)) {
        // The description reaches the console and the log: the password is
        // masked, only whether one was given shows.
        const UserInfo u = UserInfo::fromVariant(payload);
        return QStringLiteral("type:") + strWord + QStringLiteral(" server:") + u.server
            + QStringLiteral(" user:") + u.userName + QStringLiteral(" pw:")
            + (u.password.isEmpty() ? QString() : QStringLiteral("******"));
    }
    if (word == QLatin1String("LOGOK"))
        return QStringLiteral("type:") + strWord;
    if (word == QLatin1String("LOGFAILED") || isEmptyResultWord(word))
        return QString();
    return QLatin1String(kNoSuchCommand);
}

QByteArray redactPasswords(const QByteArray &raw)
{
    // Works on text that may not parse: "u", spaces, ':', spaces, then a
    // string up to its closing quote (or the end of what we have).
    static const QRegularExpression member(QStringLiteral("(\"u\"\\s*:\\s*\")(?:[^\"\\\\]|\\\\.)*(\"?)"));
    QString text = QString::fromUtf8(raw);
    text.replace(member, QStringLiteral("\\1******\\2"));
    return text.toUtf8();
}

} // namespace ClientCodec
