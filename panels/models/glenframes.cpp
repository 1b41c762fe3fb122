#include "panels/models/glenframes.h"

#include <QDebug>

namespace GlenFrames {

namespace {

const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss";

// Panel-wide conditions: their device code says nothing of an end device.
bool clearsEndCode(int kind)
{
    return kind == 9 || kind == 10 || kind == 15 || kind == 16 || kind == 0x13 || kind == 0x14;
}

// A panel number from two BCD bytes; numbers outside 1..255 would wrap in
// the event's 8-bit field and name another panel, so the driver's own number
// stands in for them.
quint8 panelNumber(const QByteArray &record, int controllerId)
{
    const int n = fromBcd(byteAt(record, 1)) * 100 + fromBcd(byteAt(record, 2));
    if (n < 1 || n > 255) {
        qWarning() << "Glen record names panel" << n << "outside 1..255; kept as panel" << controllerId;
        return quint8(controllerId);
    }
    return quint8(n);
}

int kind01Code(const QByteArray &record, const QString &code, int controllerType)
{
    if (!code.endsWith(QLatin1String("69")) || (controllerType != 31 && controllerType != 32))
        return kindCode(0x01);
    if (record.size() < 8)
        return 2;
    switch (byteAt(record, 7)) {
    case 0x71: case 0xEA: return 2001;
    case 0x70: case 0xE9: return 2002;
    default: return 2;
    }
}

int kind1CCode(const QByteArray &record)
{
    if (record.size() < 8)
        return 3101;
    switch (byteAt(record, 7)) {
    case 0x6F: return 3111;
    case 0x70: return 3112;
    case 0x72: return 3114;
    case 0x73: return 3115;
    case 0x74: return 3116;
    case 0x75: return 3117;
    case 0x76: return 3118;
    default: return 3101;
    }
}

} // namespace

QByteArray prefix()
{
    return QByteArray::fromHex("cbbca0a0");
}

quint8 toBcd(int v)
{
    return quint8(((v / 10) % 10) * 16 + v % 10);
}

int fromBcd(quint8 b)
{
    return (b >> 4) * 10 + (b & 0x0F);
}

quint8 byteAt(const QByteArray &bytes, int i)
{
    return (i >= 0 && i < bytes.size()) ? quint8(bytes.at(i)) : quint8(0);
}

QByteArray pollFrame(bool afterFailure)
{
    const char v = afterFailure ? char(0x10) : char(0x11);
    QByteArray f = prefix();
    f.append(v).append(char(0)).append(char(0)).append(char(0)).append(v);
    return f;
}

QByteArray commandFrame(quint16 &counter, quint8 head, quint8 cls, quint8 function, int number,
                        const QByteArray &data)
{
    // The counter moves twice per frame; the frame shows the high byte of the
    // first step and the low byte of the second.
    const quint16 first = quint16(counter + 1);
    const quint16 second = quint16(first + 1);
    counter = second;
    QByteArray f = prefix();
    f.append(char(head));
    f.append(char(first >> 8));
    f.append(char(second & 0xFF));
    f.append(char(cls));
    f.append(char(function));
    f.append(char(number / 100));
    f.append(char(toBcd(number % 100)));
    for (int i = 0; i < 7; ++i)
        f.append(char(byteAt(data, i)));
    quint8 sum = 0;
    for (int i = 4; i < 18; ++i)
        sum = quint8(sum + quint8(f.at(i)));
    f.append(char(sum));
    return f;
}

QByteArray silenceFrame(quint16 &counter, int id)
{
    return commandFrame(counter, HeadCommand, 0x00, FnSilence, id, QByteArray());
}

QByteArray resetFrame(quint16 &counter, int id)
{
    return commandFrame(counter, HeadReset, 0x00, FnReset, id, QByteArray());
}

QByteArray timeFrame(quint16 &counter, int id, const QDateTime &when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    QByteArray data;
    data.append(char(toBcd(d.year() / 100))).append(char(toBcd(d.year() % 100)));
    data.append(char(toBcd(d.month()))).append(char(toBcd(d.day())));
    data.append(char(toBcd(t.hour()))).append(char(toBcd(t.minute()))).append(char(toBcd(t.second())));
    return commandFrame(counter, HeadCommand, 0x0A, FnTime, id, data);
}

QByteArray readValueSwitchFrame(quint16 &counter, int panel, int loop, int channel, int devType)
{
    QByteArray data;
    data.append(char(loop)).append(char(channel)).append(char(devType)).append(char(0x01));
    return commandFrame(counter, HeadCommand, 0x09, FnReadValueSwitch, panel, data);
}

int blockLength(const QByteArray &header)
{
    return (header.size() >= HeaderSize && byteAt(header, 4) == BlockFollows) ? byteAt(header, 7) : 0;
}

QList<QByteArray> splitRecords(const QByteArray &block)
{
    QList<QByteArray> records;
    int at = 0;
    while (at < block.size()) {
        const int size = quint8(block.at(at)) == LongKind ? LongRecord : ShortRecord;
        records.append(block.mid(at, size));
        at += size;
    }
    return records;
}

// Record kind -> event code; kinds 0x13, 0x14, 0x16 and 0x1C are decoded
// by their own rules (0x1C falls back to its table value).
int kindCode(int kind)
{
    static const int codes[32] = {
        0,    1,    7,    3,    913,  6,    916,  5,    // 0..7
        915,  122,  121,  4,    914,  8,    918,  123,  // 8..15
        124,  0,    0,    0,    0,    0,    0,    0,    // 16..23
        0,    9204, 6205, 3100, 3101, 9100, 9101, 6305, // 24..31
    };
    return (kind >= 0 && kind < 32) ? codes[kind] : 0;
}

QString codeText(const QByteArray &record)
{
    QString s = QString::number(byteAt(record, 1), 16);
    for (int i = 2; i <= 6; ++i)
        s += QStringLiteral("%1").arg(byteAt(record, i), 2, 16, QLatin1Char('0'));
    s.replace(QLatin1Char('a'), QLatin1Char('*'));
    return s;
}

QString recordTime(const QByteArray &record, const QDateTime &now)
{
    if (record.size() < ShortRecord)
        return now.toString(QLatin1String(kTimeFormat));
    int v[6];
    for (int i = 0; i < 6; ++i)
        v[i] = fromBcd(byteAt(record, 8 + i));
    // Only these fields are checked; a month of 13 passes as the panel sent it.
    if (v[0] > 99 || v[3] > 23 || v[4] > 59 || v[5] > 59)
        return now.toString(QLatin1String(kTimeFormat));
    const auto two = [](int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("20%1-%2-%3 %4:%5:%6")
        .arg(two(v[0]), two(v[1]), two(v[2]), two(v[3]), two(v[4]), two(v[5]));
}

QList<CEvent> decodeRecord(const QByteArray &record, int controllerId, int controllerType,
                           const QDateTime &now)
{
    QList<CEvent> out;
    if (record.isEmpty())
        return out;
    const int kind = byteAt(record, 0);
    CEvent e;
    e.nPanelID = quint8(controllerId);
    e.nPanelType = controllerType;

    if (kind == LongKind) {
        e.nEventCode = kindCode(LongKind);
        e.nPanelID = panelNumber(record, controllerId);
        e.nLoop = qint8(byteAt(record, 3));
        e.nAddress = qint8(byteAt(record, 4));
        e.strTime = now.toString(QLatin1String(kTimeFormat));
        e.strNote = QString::fromLatin1(record.toHex()).mid(12, 36);
        out.append(e);
        return out;
    }

    e.strCode = codeText(record);
    e.strEndCode = clearsEndCode(kind) ? QString() : e.strCode;
    e.strTime = recordTime(record, now);
    e.nDevType = fromBcd(byteAt(record, 6));
    const quint8 b3 = byteAt(record, 3);
    const quint8 b4 = byteAt(record, 4);

    switch (kind) {
    case 0x01:
        e.nEventCode = kind01Code(record, e.strCode, controllerType);
        break;
    case 0x13:
        if (b4 == 0x97)
            e.nEventCode = b3 == 0 ? 125 : 126;
        else if (b4 == 0x98)
            e.nEventCode = b3 == 0 ? 127 : 128;
        e.nEventProperty = b3 == 0 ? 1 : 0;
        break;
    case 0x14: {
        e.nPanelID = panelNumber(record, controllerId);
        CEvent second = e;
        CEvent third = e;
        e.nEventCode = b3 == 0 ? 114 : 111;
        switch (b4) {
        case 0x02: second.nEventCode = 112; break;
        case 0x03: second.nEventCode = 117; break;
        case 0x01: second.nEventCode = 116; break;
        default: second.nEventCode = 115; break;
        }
        third.nEventCode = byteAt(record, 5) == 0 ? 118 : 113;
        out << e << second << third;
        return out;
    }
    case 0x16:
        e.nEventCode = (record.size() > 7 && byteAt(record, 7) > 1) ? 5201 : 5202;
        break;
    case 0x1C:
        e.nEventCode = kind1CCode(record);
        break;
    default:
        e.nEventCode = kindCode(kind);
        break;
    }
    if (e.nEventCode == 0) {
        qWarning().noquote() << QStringLiteral("Glen record of kind 0x%1 has no event code, dropped: %2")
                                    .arg(kind, 2, 16, QLatin1Char('0'))
                                    .arg(QString::fromLatin1(record.toHex(' ')));
        return out;
    }
    out.append(e);
    return out;
}

} // namespace GlenFrames
