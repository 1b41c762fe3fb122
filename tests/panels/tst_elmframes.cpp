// The 0x7E record family without I/O: the CRC, the Elm server frames byte by
// byte (Juniper's are checked on the wire), the report decoders of both
// panels and the framing of a serial stream.

#include "panels/models/elmframes.h"

#include <QtTest>

using namespace ElmFrames;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
const QDateTime kWhen(QDate(2024, 12, 5), QTime(21, 45, 10));

// A kind-2 device report: loop and address bytes ff fe / 00 85 (negative
// parts), type 3, the time above, text "烟感1" in GBK, codes 01020304 / 01020309.
QByteArray deviceReport(quint8 kind)
{
    QByteArray r = hex("7e01010103") + char(kind) + hex("0001") + hex("fffe0085" "03" "180c05152d0a");
    r += hex("d1ccb8d031").leftJustified(40, '\0');
    r += hex("01020304" "01020309");
    return r;
}
}

class TestElmFrames : public QObject
{
    Q_OBJECT
private slots:
    void crc()
    {
        QCOMPARE(crc16Modbus(QByteArray("123456789")), quint16(0x374B));
        QCOMPARE(crc16Modbus(QByteArray()), quint16(0xFFFF));
        QCOMPARE(appendCrc("abc"), QByteArray("abc\x57\x49"));
        QVERIFY(crcOk(appendCrc("abc")));
        QVERIFY(!crcOk(QByteArray("abc\x49\x57")));
    }

    void serverFrames()
    {
        QCOMPARE(commandFrame(0x89, 1), hex("7e01010103890001 1cfa"));
        QCOMPARE(commandFrame(0x94, 7), hex("7e01010103940007 18ea"));
        QCOMPARE(ackFrame(AckPlain, 0), hex("7e010202034d0000 123e"));
        QCOMPARE(ackFrame(AckKindOne, 5), hex("7e01020203420005 12ce"));
        QCOMPARE(connectFrame(QHostAddress(QStringLiteral("127.0.0.1"))),
                 hex("7e01020212ff0000 7f000001 0000000000000000 3d50"));
        QCOMPARE(timeFrame(kWhen, 3), hex("7e0101010b9500fb 180c05152d 00 03 000000 d4ee"));
        // An empty end code repeats the start bytes.
        QCOMPARE(deviceStateFrame(0x90, QStringLiteral("0102030405"), QString()),
                 hex("7e0101010c9000fb 01020304 01020304 05 0000 931b"));
        QCOMPARE(deviceStateFrame(0x92, QStringLiteral("0102030405"), QStringLiteral("0102060905")),
                 hex("7e0101010c9200fb 01020304 01020609 05 0000 fdd6"));
    }

    void connectDestinations()
    {
        QCOMPARE(connectDestination(QHostAddress(QStringLiteral("127.0.0.1")), {}),
                 QHostAddress(QStringLiteral("127.255.255.255")));
        QNetworkAddressEntry lan;
        lan.setIp(QHostAddress(QStringLiteral("10.1.2.3")));
        lan.setNetmask(QHostAddress(QStringLiteral("255.255.255.0")));
        QNetworkAddressEntry other;
        other.setIp(QHostAddress(QStringLiteral("192.168.7.9")));
        other.setNetmask(QHostAddress(QStringLiteral("255.255.0.0")));
        other.setBroadcast(QHostAddress(QStringLiteral("192.168.255.255")));
        const QList<QNetworkAddressEntry> entries{other, lan};
        QCOMPARE(connectDestination(QHostAddress(QStringLiteral("10.1.2.3")), entries),
                 QHostAddress(QStringLiteral("10.1.2.255")));
        QCOMPARE(connectDestination(QHostAddress(QStringLiteral("192.168.7.9")), entries),
                 QHostAddress(QStringLiteral("192.168.255.255")));
        // Never the all-ones broadcast on every interface.
        QVERIFY(connectDestination(QHostAddress(QStringLiteral("10.9.9.9")), entries).isNull());
    }

    void elmDecoders()
    {
        CEvent e = decodeElmReport(deviceReport(2), 1, kWhen);
        QCOMPARE(e.nLoop, -258);
        QCOMPARE(e.nAddress, -123);
        QCOMPARE(e.nDevType, 3);
        QCOMPARE(e.strTime, QStringLiteral("2024-12-05 21:45:10"));
        QCOMPARE(e.strCode, QStringLiteral("0102030403"));
        QCOMPARE(e.strEndCode, QStringLiteral("0102030903"));
        QCOMPARE(e.strNote, QStringLiteral(" 回路号:-258 地址号:-123 类型:3 信息：烟感1 设备:0102030403"));

        e = decodeElmReport(hex("7e0101010319000a 180102030405"), 2, kWhen);
        QCOMPARE(e.strTime, QStringLiteral("2024-01-02 03:04:05"));
        e = decodeElmReport(hex("7e0101010312000a 0102 180102030405"), 3, kWhen);
        QCOMPARE(e.strTime, QStringLiteral("2024-01-02 03:04:05"));
        QCOMPARE(e.nLoop, 258);
        QCOMPARE(e.strNote, QStringLiteral("线路号(区号):258"));
        // No time in the record: the server's.
        QCOMPARE(decodeElmReport(hex("7e0101010301000a"), 0, kWhen).strTime, QStringLiteral("2024-12-05 21:45:10"));
        QCOMPARE(decodeElmReport(hex("7e0101010312000a 0102 1801"), 3, kWhen).strTime,
                 QStringLiteral("2024-12-05 21:45:10"));
    }

    void juniperDecoders()
    {
        CEvent e = decodeJuniperRecord(deviceReport(0x21), kWhen);
        QCOMPARE(int(e.nPanelID), 1);
        QCOMPARE(e.nLoop, 0xFFFE); // unsigned here
        QCOMPARE(e.nAddress, 0x85);
        QCOMPARE(e.strTime, QStringLiteral("2024-12-05 21:45:10"));
        QVERIFY(e.strNote.startsWith(QStringLiteral(" 回路:65534 地址:133 类型:3 d1 cc b8 d0 31 00")));
        // Panel events: time in bytes 6..11, the panel number in byte 13.
        e = decodeJuniperRecord(hex("7e0101010325 180102030405 00 09"), kWhen);
        QCOMPARE(e.strTime, QStringLiteral("2024-01-02 03:04:05"));
        QCOMPARE(int(e.nPanelID), 9);
        // 0x25 is a panel event, not a device event; other kinds: server time.
        QVERIFY(!isJuniperDeviceKind(0x25) && isJuniperPanelKind(0x25));
        e = decodeJuniperRecord(hex("7e0101010330000c"), kWhen);
        QCOMPARE(int(e.nPanelID), 12);
        QCOMPARE(e.strTime, QStringLiteral("2024-12-05 21:45:10"));
    }

    void streamFraming()
    {
        const QByteArray a = appendCrc(hex("7e0101010325 180102030405 00 09"));
        const QByteArray b = appendCrc(deviceReport(2));
        // Back to back in one read, then taken one by one.
        Scan s = scanRecord(a + b);
        QCOMPARE(s.status, Scan::Complete);
        QCOMPARE(s.consumed, a.size());
        QCOMPARE(scanRecord(b).consumed, b.size());
        // Cut anywhere: waits for the rest.
        for (int cut : {1, 9, b.size() - 1})
            QCOMPARE(scanRecord(b.left(cut)).status, Scan::Incomplete);
        // Noise before a record is dropped up to its start.
        s = scanRecord(hex("0011") + a);
        QCOMPARE(s.status, Scan::Invalid);
        QCOMPARE(s.consumed, 2);
        // A damaged record followed by a good one: dropped up to the good one.
        QByteArray damaged = a;
        damaged[8] = char(0x55);
        s = scanRecord(damaged + b);
        QCOMPARE(s.status, Scan::Invalid);
        QCOMPARE(s.consumed, damaged.size());
        // Noise after a good record does not cost the record.
        s = scanRecord(a + hex("3333") + b);
        QCOMPARE(s.status, Scan::Complete);
        QCOMPARE(s.consumed, a.size());
        // A quiet line: what never matched goes, a match ends the record.
        QCOMPARE(scanRecord(damaged, true).status, Scan::Invalid);
        QCOMPARE(scanRecord(a + hex("33"), true).consumed, a.size());
        // A start that never completes is given up at the record limit.
        QCOMPARE(scanRecord(hex("7e") + QByteArray(kMaxRecord, 'x')).status, Scan::Invalid);
    }
};

QTEST_GUILESS_MAIN(TestElmFrames)
#include "tst_elmframes.moc"
