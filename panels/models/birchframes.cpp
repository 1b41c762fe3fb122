#include "panels/models/birchframes.h"

#include <algorithm>

#include <QDate>
#include <QTime>

namespace BirchFrames {

quint8 bcd(int v)
{
    return quint8((v / 10) * 16 + (v % 10));
}

quint8 byteAt(const QByteArray &bytes, int i)
{
    return (i >= 0 && i < bytes.size()) ? quint8(bytes.at(i)) : quint8(0);
}

quint8 sum8(const QByteArray &bytes, int first, int last)
{
    quint8 s = 0;
    for (int i = qMax(first, 0); i <= last && i < bytes.size(); ++i)
        s = quint8(s + quint8(bytes.at(i)));
    return s;
}

QByteArray recordRequest(int id, int counter)
{
    QByteArray f;
    f.append(char(recordAddress(id)));
    f.append(char(0x07));
    f.append(char(counter & 0xFF));
    f.append(char(0xDE));
    f.append(char(id));
    f.append(char(counter & 0xFF));
    f.append(char(sum8(f, 0, 5)));
    return f;
}

QByteArray commandFrame(int id, quint8 seq, quint8 command, const QByteArray &data)
{
    QByteArray f;
    f.append(char(id));
    f.append(char(0x0A));
    f.append(char(seq));
    f.append(char(0xAA));
    f.append(char(command));
    for (int i = 0; i < 4; ++i)
        f.append(char(byteAt(data, i)));
    f.append(char(sum8(f, 0, 8)));
    return f;
}

QByteArray silenceFrame(int id, quint8 seq)
{
    return commandFrame(id, seq, 0x70, QByteArray() + char(id) + "\x55\x55\x55");
}

QByteArray resetFrame(int id, quint8 seq)
{
    return commandFrame(id, seq, 0x04, QByteArray() + char(id) + "\x55\x55\x55");
}

QByteArray setTimeFrame(int id, quint8 seq, const QDateTime &when)
{
    QByteArray data;
    data.append(char(bcd(when.date().month())));
    data.append(char(bcd(when.date().day())));
    data.append(char(bcd(when.time().hour())));
    data.append(char(bcd(when.time().minute())));
    return commandFrame(id, seq, 0x08, data);
}

QByteArray deviceStateFrame(int id, quint8 seq, quint8 action, const QByteArray &address)
{
    QByteArray f;
    f.append(char(id));
    f.append(char(0x0B));
    f.append(char(seq));
    f.append(char(0xAA));
    f.append(char(action));
    for (int i = 0; i < 4; ++i)
        f.append(char(byteAt(address, i)));
    f.append(char(sum8(f, 3, 8)));
    f.append(char(sum8(f, 0, 9)));
    return f;
}

quint8 deviceAction(int type)
{
    switch (type & 0xFF) {
    case 0x90: return 0x02; // start
    case 0x91: return 0x04; // stop
    case 0x92: return 0x0B; // disable
    case 0x93: return 0x0A; // enable
    default: return 0;
    }
}

namespace {
bool isDigit(QChar c) { return c.unicode() >= '0' && c.unicode() <= '9'; }
QString starsToA(const QString &s)
{
    QString t = s;
    t.replace(QLatin1Char('*'), QLatin1Char('A'));
    return t;
}
}

QByteArray birchDeviceAddress(const QString &strCode)
{
    const QString code = starsToA(strCode);
    QByteArray out;
    for (int k = 0; k < 4; ++k) {
        const int p = 3 + 2 * k;
        int n = 0;
        if (p + 1 < code.size() && isDigit(code.at(p)) && isDigit(code.at(p + 1)))
            n = (code.at(p).unicode() - '0') * 10 + (code.at(p + 1).unicode() - '0');
        out.append(char(bcd(n)));
    }
    return out;
}

bool isDeviceDigits(const QString &code, int length)
{
    return code.size() == length && std::all_of(code.cbegin(), code.cend(), isDigit);
}

QByteArray ashDeviceAddress(const QString &strCode)
{
    const QString code = starsToA(strCode);
    auto digit = [&code](int p) -> int {
        return (p < code.size() && isDigit(code.at(p))) ? code.at(p).unicode() - '0' : 0;
    };
    QByteArray out;
    for (int k = 0; k < 4; ++k)
        out.append(char(digit(2 * k) * 16 + digit(2 * k + 1)));
    return out;
}

bool longReplyOk(int id, const QByteArray &five)
{
    if (five.size() < 5)
        return false;
    const quint8 s = quint8(id + byteAt(five, 0) + byteAt(five, 1) + byteAt(five, 2) + byteAt(five, 3));
    return s == byteAt(five, 4);
}

int birchFireCode(const QByteArray &body)
{
    if (body.size() < 7)
        return 2;
    const quint8 d = byteAt(body, 6);
    if (d <= 0x0B) return 2;
    if (d <= 0x28) return 4;
    if (d <= 0x32) return 5;
    if (d <= 0x3A) return 2;
    return 4;
}

void applyRecord(Report::Record record, bool &done, int &counter)
{
    switch (record) {
    case Report::EmptyRecord:
        // Nothing stored at this index: ask for the next one.
        counter += 1;
        done = false;
        break;
    case Report::StoredRecord:
        if (!done && ++counter >= 255) {
            done = true;
            counter = 1;
        }
        break;
    case Report::EndOfRecords:
        done = true;
        counter = 1;
        break;
    case Report::PanelReset:
        counter = 1;
        break;
    case Report::NoRecord:
        break;
    }
}

Report decodeBirchReport(const QByteArray &body)
{
    Report r;
    if (body.size() < 3)
        return r;
    const quint8 c = byteAt(body, 2);
    switch (c) {
    case 0x31: case 0x08: r.eventCode = 1; return r;
    case 0x61: case 0x70: r.eventCode = 37; return r;
    case 0x04:
        r.eventCode = 12;
        r.strCode = r.strEndCode = QStringLiteral("00000000");
        r.record = Report::PanelReset;
        return r;
    default: break;
    }
    r.hasAddress = true;
    if (c == 0x1A || c == 0x1B) {
        // A nibble 0xA stands for a wildcard digit.
        r.strCode = QStringLiteral("%1%2%3%4")
                        .arg(byteAt(body, 3), 2, 16, QLatin1Char('0'))
                        .arg(byteAt(body, 4), 2, 16, QLatin1Char('0'))
                        .arg(byteAt(body, 5), 2, 16, QLatin1Char('0'))
                        .arg(byteAt(body, 6), 2, 16, QLatin1Char('0'));
        r.strCode.replace(QLatin1Char('A'), QLatin1Char('*'));
        r.strCode.replace(QLatin1Char('a'), QLatin1Char('*'));
    } else {
        r.strCode = QStringLiteral("%1%2%3")
                        .arg(byteAt(body, 4), 3, 10, QLatin1Char('0'))
                        .arg(byteAt(body, 3), 3, 10, QLatin1Char('0'))
                        .arg(byteAt(body, 6), 2, 10, QLatin1Char('0'));
    }
    r.devType = byteAt(body, 6);
    switch (c) {
    case 0x11: r.eventCode = 7; break;
    case 0x15: r.eventCode = birchFireCode(body); break;
    case 0x1A: case 0xDF: r.eventCode = 9; break;
    case 0x20: r.eventCode = 38; break;
    case 0x21: r.eventCode = 6; break;
    case 0x22: r.eventCode = 4; break;
    case 0xFF: r.eventCode = 1; r.record = Report::EndOfRecords; break;
    case 0x1B: case 0xDE:
        if (r.strCode == QLatin1String("00000000")) {
            r.record = Report::EmptyRecord;
        } else {
            r.record = Report::StoredRecord;
            r.eventCode = 8;
        }
        break;
    default: break;
    }
    return r;
}

} // namespace BirchFrames
