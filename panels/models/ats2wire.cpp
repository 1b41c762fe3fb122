#include "panels/models/ats2wire.h"

namespace Ats2Wire {

namespace {

const char kMagic0 = 'A';
const char kMagic1 = 'T';

bool textFits(const QString &text)
{
    if (text.size() > MaxText)
        return false;
    for (QChar c : text) {
        if (c.unicode() > 0x7E || c.unicode() < 0x20)
            return false;
    }
    return true;
}

void appendBig(QByteArray &out, quint32 v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

quint32 readBig(const QByteArray &in, int at, int bytes)
{
    quint32 v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | quint8(in.at(at + i));
    return v;
}

// Reads one length-prefixed text at *at; false when it runs past end.
bool readText(const QByteArray &in, int *at, int end, QString *out)
{
    if (*at >= end)
        return false;
    const int n = quint8(in.at(*at));
    if (n > MaxText || *at + 1 + n > end)
        return false;
    *out = QString::fromLatin1(in.mid(*at + 1, n));
    *at += 1 + n;
    return textFits(*out);
}

Decoded invalid(const QString &why)
{
    Decoded d;
    d.error = why;
    return d;
}

} // namespace

quint16 crc16(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

bool recordFits(const SPanel2ATSData &record, QString *error)
{
    const QString *texts[] = {&record.strText1, &record.strText2, &record.strText3};
    for (int i = 0; i < 3; ++i) {
        if (!textFits(*texts[i])) {
            if (error)
                *error = QStringLiteral("text %1 \"%2\" is not printable ASCII of at most %3 characters")
                             .arg(i + 1).arg(*texts[i]).arg(int(MaxText));
            return false;
        }
    }
    return true;
}

QByteArray encode(quint8 kind, quint8 panelId, quint16 sequence, const SPanel2ATSData &record)
{
    QByteArray out;
    out.append(kMagic0).append(kMagic1).append(char(Version)).append(char(kind)).append(char(panelId));
    appendBig(out, sequence, 2);
    if (kind == Record) {
        if (!recordFits(record))
            return QByteArray();
        out.append(char(record.nCode)).append(char(record.nByte1));
        appendBig(out, quint32(record.nData), 4);
        appendBig(out, record.nIndex, 2);
        for (const QString *t : {&record.strText1, &record.strText2, &record.strText3}) {
            out.append(char(t->size()));
            out.append(t->toLatin1());
        }
    }
    appendBig(out, crc16(out), 2);
    return out;
}

Decoded decode(const QByteArray &datagram)
{
    const int size = datagram.size();
    if (size < HeaderSize + TrailerSize)
        return invalid(QStringLiteral("%1 bytes, too short").arg(size));
    if (size > MaxDatagram)
        return invalid(QStringLiteral("%1 bytes, too long").arg(size));
    if (datagram.at(0) != kMagic0 || datagram.at(1) != kMagic1)
        return invalid(QStringLiteral("no AT mark"));
    const int body = size - TrailerSize;
    const quint16 sent = quint16(readBig(datagram, body, 2));
    const quint16 crc = crc16(datagram.left(body));
    if (sent != crc)
        return invalid(QStringLiteral("checksum %1, computed %2").arg(sent, 4, 16, QLatin1Char('0'))
                           .arg(crc, 4, 16, QLatin1Char('0')));
    Decoded d;
    SATSPacket &p = d.packet;
    p.nVersion = quint8(datagram.at(2));
    p.nKind = quint8(datagram.at(3));
    p.nPanelId = quint8(datagram.at(4));
    p.nSequence = quint16(readBig(datagram, 5, 2));
    if (p.nVersion != Version)
        return invalid(QStringLiteral("version %1 not spoken").arg(p.nVersion));
    if (p.nKind < Record || p.nKind > KeepAliveAnswer)
        return invalid(QStringLiteral("unknown kind %1").arg(p.nKind));
    if (p.nKind != Record) {
        if (body != HeaderSize)
            return invalid(QStringLiteral("kind %1 with %2 body bytes").arg(p.nKind).arg(body - HeaderSize));
        d.status = Complete;
        return d;
    }
    int at = HeaderSize;
    if (body - at < 8)
        return invalid(QStringLiteral("record body of %1 bytes").arg(body - at));
    SPanel2ATSData &r = p.record;
    r.nCode = quint8(datagram.at(at));
    r.nByte1 = quint8(datagram.at(at + 1));
    r.nData = qint32(readBig(datagram, at + 2, 4));
    r.nIndex = quint16(readBig(datagram, at + 6, 2));
    at += 8;
    for (QString *t : {&r.strText1, &r.strText2, &r.strText3}) {
        if (!readText(datagram, &at, body, t))
            return invalid(QStringLiteral("record text cut short or not ASCII"));
    }
    if (at != body)
        return invalid(QStringLiteral("%1 bytes after the record").arg(body - at));
    d.status = Complete;
    return d;
}

} // namespace Ats2Wire
