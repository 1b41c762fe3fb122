#include "panels/models/elmframes.h"

#include <QTextCodec>

namespace ElmFrames {

namespace {

const char *const TimeFormat = "yyyy-MM-dd hh:mm:ss";

// Frames the server originates carry 0x01 at bytes 2 and 3, answers 0x02.
const quint8 kFromServer = 0x01;
const quint8 kAnswer = 0x02;
// Time and device-state frames address the whole panel network.
const quint8 kNetworkNumber = 0xFB;

// One lookup per byte instead of eight shifts: a serial line of noise makes
// scanRecord try the CRC from every 0x7E it holds, again on each read.
struct CrcTable
{
    quint16 entry[256];
    constexpr CrcTable() : entry()
    {
        for (int i = 0; i < 256; ++i) {
            quint16 crc = quint16(i);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
            entry[i] = crc;
        }
    }
};
constexpr CrcTable kCrcTable;

quint16 crcStep(quint16 crc, quint8 byte)
{
    return quint16((crc >> 8) ^ kCrcTable.entry[(crc ^ byte) & 0xFF]);
}

quint16 crcRegister(const char *data, int length)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < length; ++i)
        crc = crcStep(crc, quint8(data[i]));
    return crc;
}

QByteArray header(quint8 direction, quint8 function, quint8 code, quint8 number)
{
    QByteArray f;
    f.reserve(24);
    f.append(char(0x7E)).append(char(0x01)).append(char(direction)).append(char(direction));
    f.append(char(function)).append(char(code)).append(char(0x00)).append(char(number));
    return f;
}

QString twoDigits(int v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

// The decimal number of text, 0 unless it is one or more digits.
quint8 decimalByte(const QString &text)
{
    if (text.isEmpty())
        return 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    }
    return quint8(text.toInt() & 0xFF);
}

// A signed byte: the panel sends negative loop and address parts this way.
int signedAt(const QByteArray &b, int i)
{
    return int(qint8(byteAt(b, i)));
}

int wordAt(const QByteArray &b, int i)
{
    return byteAt(b, i) * 256 + byteAt(b, i + 1);
}

// Where a record starting at s ends: the first length whose CRC matches
// (first), and the first such length followed by the end of the bytes or
// the next record's 0x7E (clean); 0 for none.
struct Ends
{
    int first = 0;
    int clean = 0;
};

Ends recordEnds(const QByteArray &buf, int s)
{
    Ends e;
    const int avail = qMin(buf.size() - s, kMaxRecord);
    const auto *bytes = reinterpret_cast<const quint8 *>(buf.constData()) + s;
    quint16 crc = 0xFFFF;
    for (int n = 0; n + 2 <= avail; ++n) {
        // crc covers the n bytes from s; a record of n + 2 bytes would end here.
        if (n >= kHeaderSize && bytes[n] == (crc >> 8) && bytes[n + 1] == (crc & 0xFF)) {
            const int length = n + 2;
            if (e.first == 0)
                e.first = length;
            const int next = s + length;
            if (next == buf.size() || quint8(buf.at(next)) == 0x7E) {
                e.clean = length;
                return e;
            }
        }
        crc = crcStep(crc, bytes[n]);
    }
    return e;
}

Scan dropToNextStart(const QByteArray &buf)
{
    const int next = buf.indexOf(char(0x7E), 1);
    return Scan{Scan::Invalid, next > 0 ? next : buf.size()};
}

} // namespace

quint16 crc16Modbus(const char *data, int length)
{
    const quint16 crc = crcRegister(data, qMax(length, 0));
    return quint16((crc << 8) | (crc >> 8));
}

QByteArray appendCrc(QByteArray frame)
{
    const quint16 crc = crcRegister(frame.constData(), frame.size());
    frame.append(char(crc >> 8)).append(char(crc & 0xFF));
    return frame;
}

bool crcOk(const QByteArray &record)
{
    if (record.size() < 3)
        return false;
    const quint16 crc = crcRegister(record.constData(), record.size() - 2);
    return byteAt(record, record.size() - 2) == (crc >> 8) && byteAt(record, record.size() - 1) == (crc & 0xFF);
}

QByteArray commandFrame(quint8 code, quint8 id)
{
    return appendCrc(header(kFromServer, 0x03, code, id));
}

QByteArray ackFrame(quint8 kind, quint8 id)
{
    return appendCrc(header(kAnswer, 0x03, kind, id));
}

QByteArray connectFrame(const QHostAddress &server)
{
    QByteArray f = header(kAnswer, 0x12, 0xFF, 0x00);
    const quint32 ip = server.toIPv4Address();
    f.append(char(ip >> 24)).append(char(ip >> 16)).append(char(ip >> 8)).append(char(ip));
    f.append(QByteArray(8, '\0'));
    return appendCrc(f);
}

QByteArray timeFrame(const QDateTime &when, quint8 id)
{
    QByteArray f = header(kFromServer, 0x0B, 0x95, kNetworkNumber);
    const QDate d = when.date();
    const QTime t = when.time();
    f.append(char(d.year() % 100)).append(char(d.month())).append(char(d.day()));
    f.append(char(t.hour())).append(char(t.minute()));
    f.append(char(0x00)).append(char(id));
    f.append(QByteArray(3, '\0'));
    return appendCrc(f);
}

QByteArray deviceStateFrame(int type, const QString &strCode, const QString &strEndCode)
{
    const QString end = strEndCode.isEmpty() ? strCode : strEndCode;
    QByteArray f = header(kFromServer, 0x0C, quint8(type), kNetworkNumber);
    for (int k = 0; k < 4; ++k)
        f.append(char(decimalByte(strCode.mid(2 * k, 2))));
    for (int k = 0; k < 4; ++k)
        f.append(char(decimalByte(end.mid(2 * k, 2))));
    f.append(char(decimalByte(strCode.mid(8))));
    f.append(QByteArray(2, '\0'));
    return appendCrc(f);
}

QByteArray juniperAnswer(const QDateTime &when, bool setTime)
{
    QByteArray f = header(kAnswer, setTime ? 0x08 : 0x07, 0x42, 0x00);
    f.chop(2); // the time starts at byte 6
    const QDate d = when.date();
    const QTime t = when.time();
    f.append(char(d.year() % 100)).append(char(d.month())).append(char(d.day()));
    f.append(char(t.hour())).append(char(t.minute())).append(char(t.second()));
    if (setTime)
        f.append(char(0x01));
    return appendCrc(f);
}

QByteArray juniperSilenceFrame()
{
    return QByteArray::fromHex("7e007f0101898181");
}

QHostAddress connectDestination(const QHostAddress &server, const QList<QNetworkAddressEntry> &entries)
{
    if (server.isLoopback())
        return QHostAddress(QStringLiteral("127.255.255.255"));
    for (const QNetworkAddressEntry &e : entries) {
        if (e.ip() != server)
            continue;
        if (!e.broadcast().isNull())
            return e.broadcast();
        const int prefix = e.prefixLength();
        if (prefix > 0 && prefix < 31)
            return QHostAddress(server.toIPv4Address() | ~e.netmask().toIPv4Address());
    }
    return QHostAddress();
}

int elmClass(quint8 kind)
{
    if (kind == 1)
        return 0;
    if ((kind >= 2 && kind <= 9) || kind == 0x23 || kind == 0x26)
        return 1;
    if ((kind >= 10 && kind <= 17) || kind == 0x25 || kind >= 0x27)
        return 2;
    return 3; // 0, 18..0x22, 0x24
}

QString panelTime(const QByteArray &record, int first)
{
    if (record.size() < first + 6)
        return QString();
    QString parts[6];
    for (int i = 0; i < 6; ++i)
        parts[i] = twoDigits(byteAt(record, first + i));
    return QStringLiteral("20%1-%2-%3 %4:%5:%6").arg(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
}

CEvent decodeElmReport(const QByteArray &record, int cls, const QDateTime &now)
{
    CEvent e;
    switch (cls) {
    case 1: {
        e.strTime = panelTime(record, 13);
        e.nLoop = signedAt(record, 8) * 256 + signedAt(record, 9);
        e.nAddress = signedAt(record, 10) * 256 + signedAt(record, 11);
        e.nDevType = byteAt(record, 12);
        QByteArray text = record.mid(19, 40);
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
        static QTextCodec *const gbk = QTextCodec::codecForName("GBK");
        const QString device = gbk ? gbk->toUnicode(text) : QString::fromLatin1(text);
        const QString type = twoDigits(e.nDevType);
        e.strCode = twoDigits(byteAt(record, 59)) + twoDigits(byteAt(record, 60)) + twoDigits(byteAt(record, 61))
                  + twoDigits(byteAt(record, 62)) + type;
        e.strEndCode = twoDigits(byteAt(record, 63)) + twoDigits(byteAt(record, 64)) + twoDigits(byteAt(record, 65))
                     + twoDigits(byteAt(record, 66)) + type;
        e.strNote = QStringLiteral(" 回路号:%1 地址号:%2 类型:%3 信息：%4 设备:%5")
                        .arg(QString::number(e.nLoop), QString::number(e.nAddress), QString::number(e.nDevType),
                             device, e.strCode);
        break;
    }
    case 2:
        e.strTime = panelTime(record, 8);
        break;
    case 3:
        e.strTime = panelTime(record, 10);
        e.nLoop = wordAt(record, 8);
        e.strNote = QStringLiteral("线路号(区号):%1").arg(e.nLoop);
        break;
    default:
        break;
    }
    if (e.strTime.isEmpty())
        e.strTime = now.toString(QLatin1String(TimeFormat));
    return e;
}

bool isJuniperDeviceKind(quint8 kind)
{
    return (kind >= 2 && kind <= 9) || (kind >= 0x21 && kind <= 0x26 && kind != 0x25);
}

bool isJuniperPanelKind(quint8 kind)
{
    return (kind >= 10 && kind <= 18) || kind == 37 || kind == 40 || kind == 41 || (kind >= 111 && kind <= 119);
}

CEvent decodeJuniperRecord(const QByteArray &record, const QDateTime &now)
{
    CEvent e;
    const quint8 kind = reportKind(record);
    e.nPanelID = byteAt(record, 7);
    if (isJuniperDeviceKind(kind)) {
        e.strTime = panelTime(record, 13);
        e.nLoop = wordAt(record, 8);
        e.nAddress = wordAt(record, 10);
        e.nDevType = byteAt(record, 12);
        e.strNote = QStringLiteral(" 回路:%1 地址:%2 类型:%3 %4")
                        .arg(QString::number(e.nLoop), QString::number(e.nAddress), QString::number(e.nDevType),
                             QString::fromLatin1(record.mid(19, 40).toHex(' ')));
    } else if (isJuniperPanelKind(kind)) {
        e.strTime = panelTime(record, 6);
        if (record.size() >= 14)
            e.nPanelID = byteAt(record, 13);
    }
    if (e.strTime.isEmpty())
        e.strTime = now.toString(QLatin1String(TimeFormat));
    return e;
}

Scan scanRecord(const QByteArray &buf, bool atEnd)
{
    if (buf.isEmpty())
        return Scan{Scan::Incomplete, 0};
    const int start = buf.indexOf(char(0x7E));
    if (start < 0)
        return Scan{Scan::Invalid, buf.size()};
    if (start > 0)
        return Scan{Scan::Invalid, start};
    const Ends here = recordEnds(buf, 0);
    if (here.clean > 0)
        return Scan{Scan::Complete, here.clean};
    if (atEnd || buf.size() >= kMaxRecord)
        return here.first > 0 ? Scan{Scan::Complete, here.first} : dropToNextStart(buf);
    // A complete record further on: this start was damaged, unless its CRC
    // matched before that record begins (noise after a good record).
    for (int p = buf.indexOf(char(0x7E), 1); p > 0; p = buf.indexOf(char(0x7E), p + 1)) {
        if (recordEnds(buf, p).clean > 0)
            return here.first > 0 && here.first <= p ? Scan{Scan::Complete, here.first} : Scan{Scan::Invalid, p};
    }
    return Scan{Scan::Incomplete, 0};
}

} // namespace ElmFrames
