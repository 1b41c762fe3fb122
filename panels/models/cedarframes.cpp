#include "panels/models/cedarframes.h"

#include <QDate>
#include <QTime>

namespace CedarFrames {

namespace {
quint8 byteAt(const QByteArray &bytes, int i)
{
    return (i >= 0 && i < bytes.size()) ? quint8(bytes.at(i)) : quint8(0);
}

QString hex2(quint8 b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
}
}

quint8 bcd(int v)
{
    return quint8((v / 10) * 16 + (v % 10));
}

int fromBcd(quint8 b)
{
    return (b >> 4) * 10 + (b & 0x0F);
}

quint8 sumBytes(const QByteArray &bytes, int first, int last)
{
    quint8 s = 0;
    for (int i = qMax(first, 0); i <= last && i < bytes.size(); ++i)
        s = quint8(s + quint8(bytes.at(i)));
    return s;
}

bool acceptsChecksum(int typeCode)
{
    switch (typeCode) {
    case 50: case 150: case 160: case 190: case 200:
        return true;
    default:
        return false;
    }
}

quint8 panelSum(const QByteArray &bytes, int first, int last)
{
    const quint8 s = sumBytes(bytes, first, last);
    return s == Terminator ? quint8(0xB5) : s;
}

bool checkSumBB(int typeCode, const QByteArray &bytes, int first, int last, quint8 expected)
{
    return acceptsChecksum(typeCode) && panelSum(bytes, first, last) == expected;
}

QString deviceCode(const QByteArray &bytes, int first)
{
    QString code;
    for (int i = first; i < first + 4; ++i)
        code += hex2(byteAt(bytes, i));
    code.replace(QLatin1Char('a'), QLatin1Char('*'));
    return code;
}

QByteArray handshakeFrame(int id, quint8 command)
{
    QByteArray f;
    f.append(char(id)).append(char(command));
    return f;
}

QByteArray recordRequest(int id, int counter)
{
    const int n = qMax(counter, 0);
    QByteArray f = handshakeFrame(id, RecordCommand);
    f.append(char(((n / 1000) % 10) * 16 + (n / 100) % 10));
    f.append(char(bcd(n % 100)));
    return f;
}

QByteArray setTimeBlock(const QDateTime &when, bool withSeconds)
{
    const QDate d = when.date();
    const QTime t = when.time();
    QByteArray f;
    f.append(char(0xD5)).append(char(0xD5));
    if (!withSeconds)
        f.append(char(0x20));
    f.append(char(bcd(d.year() - 2000))).append(char(bcd(d.month()))).append(char(bcd(d.day())));
    f.append(char(bcd(t.hour()))).append(char(bcd(t.minute())));
    if (withSeconds)
        f.append(char(bcd(t.second())));
    f.append(char(sumBytes(f, 2, 7)));
    f.append(char(Terminator));
    return f;
}

QByteArray deviceStateBlock(quint8 action, const QByteArray &address)
{
    QByteArray f;
    f.append(char(0x0C)).append(char(0xCC));
    for (int i = 0; i < 4; ++i)
        f.append(char(byteAt(address, i)));
    f.append(char(action));
    f.append(char(sumBytes(f, 2, 6)));
    f.append(char(Terminator));
    return f;
}

quint8 deviceAction(int type)
{
    switch (type & 0xFF) {
    case 0x90: return 0x01; // start
    case 0x91: return 0x00; // stop
    case 0x92: return 0x05; // disable
    case 0x93: return 0x06; // enable
    default: return quint8(type);
    }
}

QByteArray readValueRequest(int id, int switchValue, quint8 loop, quint8 channel)
{
    QByteArray f = handshakeFrame(id, switchValue == 0 ? 0x65 : 0x66);
    f.append(char(loop)).append(char(channel));
    return f;
}

bool setTimeReplyOk(const QByteArray &reply)
{
    return reply.size() >= 3 && byteAt(reply, 0) == 0x00 && byteAt(reply, 2) == Terminator
        && (byteAt(reply, 1) == 0x00 || byteAt(reply, 1) == 0xFF);
}

bool deviceStateReplyOk(const QByteArray &reply)
{
    return reply.size() >= 3 && byteAt(reply, 0) == 0x00 && byteAt(reply, 1) == 0x00
        && byteAt(reply, 2) == Terminator;
}

Header headerOf(quint8 h0, quint8 h1, Model model)
{
    if (h0 == 0xF0 && h1 == 0xF0)
        return HeaderIdle;
    if ((h0 == 0x0A || h0 == 0xFA) && h1 == 0xAA)
        return HeaderReset;
    if ((h0 == 0x0A || h0 == 0xFA) && h1 == 0xAB)
        return HeaderSilenced;
    if ((h0 == 0xCB || h0 == 0xFB) && h1 == 0xCB)
        return HeaderStatus;
    if (model == Cedar && (h0 == 0xF9 || h0 == 0xE9) && h1 == 0x99)
        return HeaderAnalog;
    if ((h0 == 0xFD || h0 == 0xED) && h1 == 0xDD)
        return HeaderCleared;
    if ((h0 == 0xFE || h0 == 0xEE) && h1 == 0xEE)
        return HeaderRaised;
    return HeaderUnknown;
}

int bytesAfterHeader(Header header, Model model)
{
    switch (header) {
    case HeaderStatus: return model == Dune ? 3 : 2;
    case HeaderAnalog: return 9;
    case HeaderCleared:
    case HeaderRaised: return 7;
    default: return 0;
    }
}

Report decodeReport(const QByteArray &bytes, Model model, int typeCode)
{
    Report r;
    if (bytes.size() < 2)
        return r;
    r.header = headerOf(byteAt(bytes, 0), byteAt(bytes, 1), model);
    const int size = 2 + bytesAfterHeader(r.header, model);
    if (bytes.size() < size)
        return r;
    r.status = Report::Complete;
    r.consumed = size;
    const QByteArray d = bytes.mid(2, size - 2);
    if (r.header == HeaderStatus) {
        r.state = byteAt(d, 0);
        return r;
    }
    if (r.header != HeaderAnalog && r.header != HeaderCleared && r.header != HeaderRaised)
        return r;
    // The checksum covers the bytes before it; the terminator follows it.
    const int sumAt = d.size() - 2;
    r.strCode = deviceCode(d, 0);
    if (!checkSumBB(typeCode, d, 0, sumAt - 1, byteAt(d, sumAt))) {
        r.status = Report::Invalid;
        r.error = acceptsChecksum(typeCode)
            ? QStringLiteral("checksum %1, expected %2").arg(hex2(byteAt(d, sumAt)), hex2(panelSum(d, 0, sumAt - 1)))
            : QStringLiteral("checksums are not accepted for type code %1").arg(typeCode);
        return r;
    }
    if (byteAt(d, sumAt + 1) != Terminator) {
        r.status = Report::Invalid;
        r.error = QStringLiteral("terminator %1").arg(hex2(byteAt(d, sumAt + 1)));
        return r;
    }
    r.devType = fromBcd(byteAt(d, 3));
    if (r.header == HeaderAnalog) {
        // Device type 02 reports a one-byte value.
        if (byteAt(d, 3) == 0x02) {
            r.value = byteAt(d, 5);
            r.eventCode = 6304;
        } else {
            r.value = byteAt(d, 5) * 256 + byteAt(d, 6);
            r.eventCode = 6303;
        }
    } else {
        r.state = byteAt(d, 4);
    }
    return r;
}

Record decodeRecord(const QByteArray &reply)
{
    Record r;
    r.strCode = deviceCode(reply, 8);
    r.devType = fromBcd(byteAt(reply, 11));
    return r;
}

int readValueOf(const QByteArray &reply)
{
    return reply.size() >= ReadValueReplySize ? byteAt(reply, 3) * 256 + byteAt(reply, 4) : 0;
}

QList<int> cedarStatusCodes(quint8 s)
{
    return {(s & 0x40) ? 111 : 114, (s & 0x20) ? 113 : 118, (s & 0x80) ? 112 : 115};
}

namespace {
// Panel-level conditions are coded as devices ending in 97 and 98.
int panelCondition(const QString &strCode, int if97, int if98, int otherwise)
{
    if (strCode.endsWith(QLatin1String("97")))
        return if97;
    if (strCode.endsWith(QLatin1String("98")))
        return if98;
    return otherwise;
}
}

int cedarClearedCode(quint8 state, const QString &strCode, int devType, int typeCode)
{
    const bool t200 = typeCode == 200;
    switch (state) {
    case 0x00: return panelCondition(strCode, 126, 128, 9);
    case 0x01:
        if (devType <= 11)
            return t200 ? 2 : 1;
        switch (devType) {
        case 15: case 30: case 49: case 55: case 56: return 5;
        case 29: case 48: case 69: case 89: case 95: return 7;
        default: return t200 ? 5 : 6;
        }
    case 0x02: return 4;
    case 0x03: return 914;
    case 0x04: return 4300;
    case 0x05: return 2301;
    case 0x10: return 9;
    case 0x20: return 9303;
    case 0x30: return 9306;
    case 0x40: return 9305;
    case 0x50: return 9302;
    default: return 0;
    }
}

int cedarRaisedCode(quint8 state, const QString &strCode)
{
    switch (state) {
    case 0x00: case 0x20: return panelCondition(strCode, 125, 127, 3);
    case 0x01: return 8;
    case 0x02: case 0x10: return 918;
    case 0x30: return 3301;
    case 0x40: return 3302;
    default: return 0;
    }
}

int duneClearedCode(quint8 state, int devType)
{
    const int t = devType;
    switch (state) {
    case 0x00: return (t == 71 || t == 72) ? 7 : 38;
    case 0x01:
        if (t >= 41 && t <= 50)
            return 5;
        return t <= 11 ? 2 : 4;
    case 0x04: case 0x05:
        if (t >= 41 && t <= 50)
            return 5;
        return ((t >= 51 && t <= 58) || t <= 11) ? 2 : 4;
    case 0x10: case 0x20: case 0x30: return 7;
    case 0x50: return 38;
    default: return 0;
    }
}

int duneRaisedCode(quint8 state)
{
    switch (state) {
    case 0x00: case 0x50: return 38;
    case 0x01: case 0x04: case 0x05: return 2;
    case 0x10: case 0x20: case 0x30: return 7;
    default: return 0;
    }
}

} // namespace CedarFrames
