// The Birch/Ash wire format on its own: encoders byte by byte, decoders frame
// in and fields out, and the byte utilities of the driver base.

#include "panels/controller.h"
#include "panels/models/ashframes.h"
#include "panels/models/birchframes.h"

#include <QtTest>

using namespace BirchFrames;

class TestBirchFrames : public QObject
{
    Q_OBJECT
private slots:
    void addressFormsForId12();
    void serverFramesByteExact();
    void deviceStateAddresses();
    void longCommandReply();
    void birchReportAddressForms();
    void birchFireDeviceTypeRanges();
    void birchShortBodies();
    void ashReportDecoding();
    void ashStatusLatching();
};

static QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// The body a report frame carries after its length byte.
static QByteArray body(quint8 kind, quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6)
{
    QByteArray b;
    b.append(char(0)).append(char(kind)).append(char(code));
    b.append(char(b3)).append(char(b4)).append(char(b5)).append(char(b6));
    return b;
}

void TestBirchFrames::addressFormsForId12()
{
    QCOMPARE(bcd(12), quint8(0x12));
    QCOMPARE(pollByte(12), quint8(0x42));
    QCOMPARE(recordAddress(12), quint8(0x32));
    QCOMPARE(idleByte(12), quint8(0x5C));
    QCOMPARE(statusAck(12), quint8(0x62));
    // For id 1 the plain and BCD forms coincide.
    QCOMPARE(idleByte(1), statusAck(1));
}

void TestBirchFrames::serverFramesByteExact()
{
    QCOMPARE(recordRequest(1, 1), hex("2107 01de 0101 09"));
    // Only the counter's low byte goes out.
    QCOMPARE(recordRequest(1, 257).mid(2, 1), hex("01"));
    QCOMPARE(silenceFrame(1, 1), hex("010a01aa7001555555 26"));
    QCOMPARE(resetFrame(1, 1), hex("010a01aa0401555555 ba"));
    const QDateTime when(QDate(2024, 12, 5), QTime(21, 45, 33));
    QCOMPARE(setTimeFrame(1, 1, when), hex("010a01aa0812052145 3b"));
    QCOMPARE(deviceStateFrame(1, 1, deviceAction(0x90), hex("01020304")), hex("010b01aa0201020304b679"));
    QCOMPARE(deviceAction(0x91), quint8(0x04));
    QCOMPARE(deviceAction(0x92), quint8(0x0B));
    QCOMPARE(deviceAction(0x93), quint8(0x0A));
}

void TestBirchFrames::deviceStateAddresses()
{
    // Birch reads positions 3..10 as decimal pairs and sends them as BCD.
    QCOMPARE(birchDeviceAddress(QStringLiteral("00001020304")), hex("01020304"));
    QCOMPARE(birchDeviceAddress(QStringLiteral("00012345678")), hex("12345678"));
    // A wildcard pair is not a number: 0x00.
    QCOMPARE(birchDeviceAddress(QStringLiteral("000*1020304")), hex("00020304"));
    QCOMPARE(birchDeviceAddress(QStringLiteral("00012")), hex("12000000")); // a short code: missing pairs 0
    // Ash packs positions 0..7 digit by digit.
    QCOMPARE(ashDeviceAddress(QStringLiteral("01020304")), hex("01020304"));
    QCOMPARE(ashDeviceAddress(QStringLiteral("9*x20304")), hex("90020304"));
}

void TestBirchFrames::longCommandReply()
{
    QVERIFY(longReplyOk(1, hex("7001020377")));
    QVERIFY(!longReplyOk(1, hex("7001020378")));
    QVERIFY(!longReplyOk(1, hex("70010203")));
}

void TestBirchFrames::birchReportAddressForms()
{
    Report r = decodeBirchReport(body(0xAA, 0x1B, 0x0A, 0x10, 0x00, 0xFF));
    QCOMPARE(r.strCode, QStringLiteral("0*1000ff"));
    QCOMPARE(r.eventCode, 8);
    QCOMPARE(r.record, Report::StoredRecord);
    QCOMPARE(r.devType, 0xFF);

    // Other codes: byte 4 and byte 3 as three decimal digits, byte 6 as two.
    r = decodeBirchReport(body(0xAA, 0x11, 12, 3, 0, 7));
    QCOMPARE(r.strCode, QStringLiteral("00301207"));
    QCOMPARE(r.eventCode, 7);

    r = decodeBirchReport(body(0xAA, 0xDE, 0, 0, 9, 0));
    QCOMPARE(r.record, Report::EmptyRecord); // byte 5 is not part of the address
    QCOMPARE(r.eventCode, 0);

    r = decodeBirchReport(body(0xAA, 0x04, 1, 2, 3, 4));
    QCOMPARE(r.eventCode, 12);
    QCOMPARE(r.strCode, QStringLiteral("00000000"));
    QCOMPARE(r.strEndCode, QStringLiteral("00000000"));
    QCOMPARE(r.record, Report::PanelReset);
    QVERIFY(!r.hasAddress);

    QCOMPARE(decodeBirchReport(body(0xAA, 0x61, 0, 0, 0, 0)).eventCode, 37);
    QCOMPARE(decodeBirchReport(body(0xAA, 0x31, 0, 0, 0, 0)).eventCode, 1);
    QCOMPARE(decodeBirchReport(body(0xAA, 0x1A, 0, 0, 0, 0)).eventCode, 9);
    QCOMPARE(decodeBirchReport(body(0xAA, 0x20, 0, 0, 0, 0)).eventCode, 38);
    QCOMPARE(decodeBirchReport(body(0xAA, 0xFF, 0, 0, 0, 1)).record, Report::EndOfRecords);
    // A code outside the table: no event, still an addressed report (acknowledged).
    r = decodeBirchReport(body(0xAA, 0x77, 1, 2, 3, 4));
    QCOMPARE(r.eventCode, 0);
    QVERIFY(r.hasAddress);
}

void TestBirchFrames::birchFireDeviceTypeRanges()
{
    const struct { quint8 d; int code; } cases[] = {
        {0x00, 2}, {0x0B, 2}, {0x0C, 4}, {0x28, 4}, {0x29, 5}, {0x30, 5}, {0x32, 5},
        {0x33, 2}, {0x35, 2}, {0x3A, 2}, {0x3B, 4}, {0x40, 4}, {0xFF, 4},
    };
    for (const auto &c : cases)
        QVERIFY2(decodeBirchReport(body(0xAA, 0x15, 1, 1, 0, c.d)).eventCode == c.code,
                 qPrintable(QString::number(c.d, 16)));
    // Without the device-type byte the report counts as a plain fire.
    QCOMPARE(decodeBirchReport(body(0xAA, 0x15, 1, 1, 0, 0).left(5)).eventCode, 2);
}

void TestBirchFrames::birchShortBodies()
{
    QCOMPARE(decodeBirchReport(QByteArray()).eventCode, 0);
    QCOMPARE(decodeBirchReport(hex("00aa")).eventCode, 0);
    // Missing address bytes read as zero rather than past the end.
    const Report r = decodeBirchReport(hex("00aa11"));
    QCOMPARE(r.strCode, QStringLiteral("00000000"));
    QCOMPARE(r.devType, 0);
}

void TestBirchFrames::ashReportDecoding()
{
    using namespace AshFrames;
    Report r = decodeReport(body(0xAA, 0x22, 0x01, 0x2A, 0x03, 0x59));
    QCOMPARE(r.eventCode, 7);
    QCOMPARE(r.strCode, QStringLiteral("012*0389")); // 0x59 as decimal 89
    r = decodeReport(body(0xAA, 0x22, 1, 2, 3, 0x40));
    QCOMPARE(r.eventCode, 6);
    QCOMPARE(decodeReport(body(0xAA, 0x22, 1, 2, 3, 0x0F)).eventCode, 5);
    QCOMPARE(decodeReport(body(0xAA, 0x15, 1, 2, 3, 0x38)).eventCode, 5);
    QCOMPARE(decodeReport(body(0xAA, 0x15, 1, 2, 3, 0x1D)).eventCode, 7);
    QCOMPARE(decodeReport(body(0xAA, 0x15, 1, 2, 3, 0x40)).eventCode, 1);
    QCOMPARE(decodeReport(body(0xAA, 0x22, 1, 2, 3, 0).left(6)).eventCode, 6);
    QCOMPARE(decodeReport(body(0xAA, 0x02, 1, 2, 3, 4)).eventCode, 4);
    QCOMPARE(decodeReport(body(0xAA, 0x03, 1, 2, 3, 4)).eventCode, 914);
    QCOMPARE(decodeReport(body(0xAA, 0xDF, 1, 2, 3, 4)).eventCode, 918);
    QCOMPARE(decodeReport(body(0xAA, 0x21, 1, 2, 3, 4)).eventCode, 3);
    QCOMPARE(decodeReport(body(0xAA, 0xDE, 1, 2, 3, 4)).eventCode, 8);
    QCOMPARE(decodeReport(body(0xAA, 0xDE, 0, 0, 0, 0)).record, Report::EmptyRecord);
    r = decodeReport(body(0xAA, 0x31, 1, 2, 3, 4));
    QCOMPARE(r.eventCode, 100);
    QVERIFY(r.strCode.isEmpty());
    r = decodeReport(body(0xAA, 0x04, 1, 2, 3, 4));
    QCOMPARE(r.eventCode, 121);
    QCOMPARE(r.record, Report::PanelReset);
    QCOMPARE(decodeReport(body(0xAA, 0x70, 0, 0, 0, 0)).eventCode, 122);
    QCOMPARE(decodeReport(body(0xAA, 0x99, 1, 2, 3, 4)).eventCode, 0);
}

void TestBirchFrames::ashStatusLatching()
{
    using namespace AshFrames;
    StatusLatch latch;
    auto codes = [](const QList<StatusEvent> &l) {
        QList<int> c;
        for (const StatusEvent &e : l)
            c << e.eventCode;
        return c;
    };
    QList<StatusEvent> ev = decodeStatus(hex("00b110"), 1, latch);
    QCOMPARE(codes(ev), (QList<int>{114, 115, 118, 125}));
    QCOMPARE(ev.last().property, 1);
    QCOMPARE(ev.last().strCode, QStringLiteral("00000197"));
    ev = decodeStatus(hex("00b100"), 1, latch);
    QCOMPARE(codes(ev), (QList<int>{114, 115, 118, 126}));
    QCOMPARE(ev.last().property, 0);
    QCOMPARE(codes(decodeStatus(hex("00b100"), 1, latch)), (QList<int>{114, 115, 118}));

    // Power bits, and bit 3 latching with the 98 text.
    ev = decodeStatus(hex("00b1e8"), 12, latch);
    QCOMPARE(codes(ev), (QList<int>{111, 112, 113, 127}));
    QCOMPARE(ev.last().strCode, QStringLiteral("00001298"));
    // A 2-byte body reads as s = 0 and clears the latch.
    ev = decodeStatus(hex("00b1"), 12, latch);
    QCOMPARE(codes(ev), (QList<int>{114, 115, 118, 128}));
    QCOMPARE(ev.last().property, 0);

    // Bit 4 latched, then bit 3 alone: bit 3 latches too; the clear frame
    // restores bit 4 first, the next one bit 3.
    decodeStatus(hex("00b110"), 1, latch);
    QCOMPARE(codes(decodeStatus(hex("00b108"), 1, latch)).last(), 127);
    QCOMPARE(codes(decodeStatus(hex("00b100"), 1, latch)).last(), 126);
    QCOMPARE(codes(decodeStatus(hex("00b100"), 1, latch)).last(), 128);
}

QTEST_GUILESS_MAIN(TestBirchFrames)
#include "tst_birchframes.moc"
