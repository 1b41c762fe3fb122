#include "history/historyrecord.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString kDevice = QStringLiteral("设备");

// The vocabulary code for an event table number (nEventNo). The numbers are the ones
// the site's EventConfig.xml gives and the cloud upload reads (1 alarm,
// 3 supervision, 5 action, 6 feedback, 7 fault, 8 disable, 9 power off,
// 2300 power off, 7100..7118 power monitor), plus 2 other alarms and
// 4 start. 0: the vocabulary has no word for it.
int presentCode(int nNumber)
{
    switch (nNumber) {
    case 1: return 5;    // 火警
    case 2: return 10;   // 报警
    case 3: return 9;    // 监管
    case 4: return 20;   // 启动
    case 5: return 7;    // 动作
    case 6: return 8;    // 反馈
    case 7: return 6;    // 故障
    case 8: return 17;   // 屏蔽
    case 9: return 15;   // 失电 (mains lost)
    case 2300: return 16; // 断电
    case 7100: return 15; // 失电 (supply interrupted)
    default:
        return nNumber > 7100 && nNumber <= 7118 ? 6 : 0;
    }
}

QString vocabulary(int nCode)
{
    return actionName(nCode).remove(kDevice);
}

// "yyyy-MM-dd hh:mm:ss" by its shape: cheaper than parsing it for every
// event, and the shape is what the text comparison needs.
bool isTimeText(const QString &t)
{
    if (t.size() != 19)
        return false;
    for (int i = 0; i < 19; ++i) {
        const QChar c = t.at(i);
        const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
        if (want == '0' ? !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) : c != QLatin1Char(want))
            return false;
    }
    return true;
}

// The raw column is written by hand: QJsonDocument builds a tree and turns
// every number into a double and back, at 10,000 events a second a good
// part of the recorder's time.
void putInt(QString &out, const char *key, int value)
{
    if (value == 0)
        return;
    out += out.size() > 1 ? QStringLiteral(",\"") : QStringLiteral("\"");
    out += QLatin1String(key);
    out += QStringLiteral("\":");
    out += QString::number(value);
}

void putText(QString &out, const char *key, const QString &value)
{
    if (value.isEmpty())
        return;
    out += out.size() > 1 ? QStringLiteral(",\"") : QStringLiteral("\"");
    out += QLatin1String(key);
    out += QStringLiteral("\":\"");
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c.unicode() < 0x20) {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    out += QLatin1Char('"');
}
} // namespace

namespace HistoryText {

QString actionFor(const CEvent &e)
{
    switch (e.nEventType) {
    case 11: return vocabulary(1);  // 复位
    case 16: return vocabulary(2);  // 消音
    case 17: return vocabulary(4);  // 连接 (communication of a controller)
    default: break;
    }
    const int present = presentCode(e.nEventNo);
    if (present == 0)
        return QStringLiteral("其他");
    if (e.nEventProperty != 0)
        return vocabulary(present);
    // A restore says what ended: a disablement is cancelled, the rest restored.
    return vocabulary(e.nEventNo == 8 ? 18 : 19);
}

QString describe(const CEvent &e, const QString &controllerName)
{
    const QString &eventName = e.strEventName;
    QStringList parts;
    QString panel = QStringLiteral("控制器%1号").arg(e.nPanelID);
    if (!controllerName.isEmpty())
        panel += QStringLiteral("(%1)").arg(controllerName);
    parts << panel;
    if (!e.strCode.isEmpty()) {
        QString device = QStringLiteral("设备") + e.strCode;
        if (!e.strEndCode.isEmpty() && e.strEndCode != e.strCode)
            device += QLatin1Char('-') + e.strEndCode;
        parts << device;
    }
    if (e.nLoop != 0 || e.nAddress != 0)
        parts << QStringLiteral("回路%1 地址%2").arg(e.nLoop).arg(e.nAddress);
    if (e.nEventType == 17)
        parts << eventName + (e.nEventProperty == 0 ? QStringLiteral("正常") : QStringLiteral("故障"));
    else if (!eventName.isEmpty())
        parts << eventName;
    if (e.nValue >= 1)
        parts << QStringLiteral("值%1").arg(e.nValue);
    if (!e.strNote.isEmpty())
        parts << e.strNote;
    return parts.join(QLatin1Char(' '));
}

QString eventToJson(const CEvent &e)
{
    // Only what differs from the default record: most fields are 0.
    QString o;
    o.reserve(160);
    o += QLatin1Char('{');
    putInt(o, "com", e.nCom);
    putInt(o, "panel", e.nPanelID);
    putInt(o, "type", e.nPanelType);
    putInt(o, "class", e.nEventType);
    putInt(o, "ev", e.nEventCode);
    putInt(o, "no", e.nEventNo);
    putInt(o, "prop", e.nEventProperty);
    putInt(o, "loop", e.nLoop);
    putInt(o, "addr", e.nAddress);
    putInt(o, "dev", e.nDevType);
    putInt(o, "ch", e.nChannel);
    putInt(o, "value", e.nValue);
    putText(o, "code", e.strCode);
    putText(o, "end", e.strEndCode);
    putText(o, "note", e.strNote);
    putText(o, "time", e.strTime);
    putText(o, "extra", e.strExtra);
    putText(o, "name", e.strEventName);
    o += QLatin1Char('}');
    return o;
}

CEvent eventFromJson(const QString &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    CEvent e;
    e.nCom = quint8(o.value(QLatin1String("com")).toInt());
    e.nPanelID = quint8(o.value(QLatin1String("panel")).toInt());
    e.nPanelType = o.value(QLatin1String("type")).toInt();
    e.nEventType = o.value(QLatin1String("class")).toInt();
    e.nEventCode = o.value(QLatin1String("ev")).toInt();
    e.nEventNo = o.value(QLatin1String("no")).toInt(-1);
    e.nEventProperty = o.value(QLatin1String("prop")).toInt();
    e.nLoop = o.value(QLatin1String("loop")).toInt();
    e.nAddress = o.value(QLatin1String("addr")).toInt();
    e.nDevType = o.value(QLatin1String("dev")).toInt();
    e.nChannel = o.value(QLatin1String("ch")).toInt();
    e.nValue = o.value(QLatin1String("value")).toInt();
    e.strCode = o.value(QLatin1String("code")).toString();
    e.strEndCode = o.value(QLatin1String("end")).toString();
    e.strNote = o.value(QLatin1String("note")).toString();
    e.strTime = o.value(QLatin1String("time")).toString();
    e.strExtra = o.value(QLatin1String("extra")).toString();
    e.strEventName = o.value(QLatin1String("name")).toString();
    return e;
}

} // namespace HistoryText

HistoryRecord HistoryRecord::fromEvent(const CEvent &e, const QString &controllerName,
                                       const std::function<QString()> &receivedAt)
{
    HistoryRecord r;
    r.action = HistoryText::actionFor(e);
    r.content = HistoryText::describe(e, controllerName);
    // The query service compares times as text: only the exact form sorts.
    r.atime = isTimeText(e.strTime) ? e.strTime : receivedAt();
    r.panel = e.nPanelID;
    r.eventClass = e.nEventType;
    r.eventNo = e.nEventNo;
    r.code = e.strCode;
    r.property = e.nEventProperty;
    r.raw = HistoryText::eventToJson(e);
    return r;
}

HistoryRecord HistoryRecord::notice(const QString &action, const QString &text, const QString &time)
{
    HistoryRecord r;
    r.action = action;
    r.content = text;
    r.atime = time;
    return r;
}
