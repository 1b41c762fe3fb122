#include "panels/models/ashframes.h"

using BirchFrames::byteAt;
using BirchFrames::Report;

namespace AshFrames {

int tableCode(quint8 c)
{
    switch (c) {
    case 0x02: return 4;
    case 0x03: return 914;
    case 0x04: return 121;
    case 0x08: return 100;
    case 0x11: return 9;
    case 0x15: return 1;
    case 0x1A: return 918;
    case 0x1B: return 8;
    case 0x20: return 913;
    case 0x21: return 3;
    case 0x22: return 5;
    case 0x31: return 100;
    case 0x61: return 122;
    case 0x70: return 122;
    case 0xDB: return 8;
    case 0xDF: return 918;
    case 0xFF: return 100;
    default: return 0;
    }
}

namespace {
// The device-type byte of fire (0x15) and fault-like (0x22) reports picks
// the event code.
int byDeviceType(const QByteArray &body, int otherwise)
{
    if (body.size() < 7)
        return otherwise;
    switch (byteAt(body, 6)) {
    case 0x0F: case 0x1E: case 0x31: case 0x37: case 0x38: return 5;
    case 0x1D: case 0x30: case 0x45: case 0x59: return 7;
    default: return otherwise;
    }
}
}

Report decodeReport(const QByteArray &body)
{
    Report r;
    if (body.size() < 3)
        return r;
    const quint8 c = byteAt(body, 2);
    switch (c) {
    case 0x31: case 0x08: r.eventCode = 100; return r;
    case 0x61: case 0x70: r.eventCode = 122; return r;
    case 0x04: r.eventCode = 121; r.record = Report::PanelReset; return r;
    default: break;
    }
    r.hasAddress = true;
    r.strCode = QStringLiteral("%1%2%3%4")
                    .arg(byteAt(body, 3), 2, 16, QLatin1Char('0'))
                    .arg(byteAt(body, 4), 2, 16, QLatin1Char('0'))
                    .arg(byteAt(body, 5), 2, 16, QLatin1Char('0'))
                    .arg(byteAt(body, 6), 2, 10, QLatin1Char('0'));
    r.strCode.replace(QLatin1Char('A'), QLatin1Char('*'));
    r.strCode.replace(QLatin1Char('a'), QLatin1Char('*'));
    r.devType = byteAt(body, 6);
    switch (c) {
    case 0x1B: case 0xDE:
        if (r.strCode == QLatin1String("00000000")) {
            r.record = Report::EmptyRecord;
        } else {
            r.record = Report::StoredRecord;
            r.eventCode = 8;
        }
        break;
    case 0x15: r.eventCode = byDeviceType(body, 1); break;
    case 0x22: r.eventCode = byDeviceType(body, 6); break;
    case 0xFF: r.eventCode = 1; r.record = Report::EndOfRecords; break;
    case 0x02: case 0x03: case 0x11: case 0x1A: case 0x20: case 0x21: case 0xDF:
        r.eventCode = tableCode(c);
        break;
    default: break;
    }
    return r;
}

QString panelCode(int id, int suffix)
{
    return QStringLiteral("0000%1%2").arg(id, 2, 10, QLatin1Char('0')).arg(suffix);
}

QList<StatusEvent> decodeStatus(const QByteArray &body, int id, StatusLatch &latch)
{
    const quint8 s = byteAt(body, 2);
    QList<StatusEvent> out;
    StatusEvent e;
    e.eventCode = (s & 0x40) ? 111 : 114;
    out.append(e);
    e.eventCode = (s & 0x80) ? 112 : 115;
    out.append(e);
    e.eventCode = (s & 0x20) ? 113 : 118;
    out.append(e);
    StatusEvent p;
    if (s & 0x10) {
        latch.bit4 = true;
        p = StatusEvent{125, 1, panelCode(id, 97)};
    } else if (s & 0x08) {
        latch.bit3 = true;
        p = StatusEvent{127, 1, panelCode(id, 98)};
    } else if (latch.bit4) {
        latch.bit4 = false;
        p = StatusEvent{126, 0, panelCode(id, 97)};
    } else if (latch.bit3) {
        latch.bit3 = false;
        p = StatusEvent{128, 0, panelCode(id, 98)};
    }
    if (p.eventCode)
        out.append(p);
    return out;
}

} // namespace AshFrames
