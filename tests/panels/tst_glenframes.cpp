// The Glen wire format on its own (the frames on the wire are in
// tst_glendriver): records in, events out (the kind rules, panel numbers, the
// time fallbacks, 29-byte records).

#include "panels/models/glenframes.h"
#include "tools/sim/glenpanelsim.h"

#include <QtTest>

using namespace GlenFrames;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
const QDateTime kNow(QDate(2025, 1, 2), QTime(3, 4, 5));
const QString kNowText = QStringLiteral("2025-01-02 03:04:05");

// A 14-byte record: kind, bytes 1..7 and the six BCD time bytes.
QByteArray rec(const char *kindAnd7, const char *time = "241205214510")
{
    return hex(kindAnd7) + hex(time);
}

QList<int> codes(const QList<CEvent> &events)
{
    QList<int> c;
    for (const CEvent &e : events)
        c << e.nEventCode;
    return c;
}
}

class TestGlenFrames : public QObject
{
    Q_OBJECT
private slots:
    void serverFrames()
    {
        // Controller 123: hundreds in binary, the rest in BCD.
        quint16 seq = 4;
        const QDateTime when(QDate(2024, 12, 5), QTime(21, 45, 33));
        QCOMPARE(timeFrame(seq, 123, when), hex("cbbca0a0 20 00 06 0a c0 01 23 20241205214533 08"));
        // The sequence advances twice: the high byte from the first step, the low byte from the second.
        seq = 0x01FE;
        QCOMPARE(silenceFrame(seq, 1).mid(5, 2), hex("0100"));
        QCOMPARE(seq, quint16(0x0200));
    }
    void kindRules_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("type");
        QTest::addColumn<QList<int>>("expected");
        QTest::addColumn<int>("property");

        QTest::newRow("fire") << rec("01 01020304050600") << 31 << QList<int>{1} << 0;
        QTest::newRow("69 on 31, 0x71") << rec("01 01020304056971") << 31 << QList<int>{2001} << 0;
        QTest::newRow("69 on 32, 0xE9") << rec("01 010203040569e9") << 32 << QList<int>{2002} << 0;
        QTest::newRow("69 on 31, other") << rec("01 01020304056905") << 31 << QList<int>{2} << 0;
        QTest::newRow("69 on 31, short") << hex("01 010203040569") << 31 << QList<int>{2} << 0;
        QTest::newRow("69 on 231") << rec("01 01020304056971") << 231 << QList<int>{1} << 0;
        QTest::newRow("0x13 97 fault") << rec("13 01020097000000") << 31 << QList<int>{125} << 1;
        QTest::newRow("0x13 97 restore") << rec("13 01020197000000") << 31 << QList<int>{126} << 0;
        QTest::newRow("0x13 98 fault") << rec("13 01020098000000") << 31 << QList<int>{127} << 1;
        QTest::newRow("0x13 other: none") << rec("13 01020099000000") << 31 << QList<int>{} << 0;
        QTest::newRow("0x16 main") << rec("16 01020304050601") << 31 << QList<int>{5202} << 0;
        QTest::newRow("0x16 backup") << rec("16 01020304050602") << 31 << QList<int>{5201} << 0;
        QTest::newRow("0x16 short") << hex("16 010203040506") << 31 << QList<int>{5202} << 0;
        QTest::newRow("0x1C 0x6F") << rec("1c 0102030405066f") << 31 << QList<int>{3111} << 0;
        QTest::newRow("0x1C 0x76") << rec("1c 01020304050676") << 31 << QList<int>{3118} << 0;
        QTest::newRow("0x1C other") << rec("1c 01020304050671") << 31 << QList<int>{3101} << 0;
        QTest::newRow("no code: 0x11") << rec("11 01020304050600") << 31 << QList<int>{} << 0;
    }
    void kindRules()
    {
        QFETCH(QByteArray, record);
        QFETCH(int, type);
        QFETCH(QList<int>, expected);
        QFETCH(int, property);
        const QList<CEvent> events = decodeRecord(record, 9, type, kNow);
        QCOMPARE(codes(events), expected);
        for (const CEvent &e : events) {
            QCOMPARE(int(e.nPanelID), 9);
            QCOMPARE(e.nPanelType, type);
            QCOMPARE(e.nEventProperty, property);
        }
    }
    void codeTextAndTimes()
    {
        // Byte 1 without a leading zero; "a" shown as "*"; BCD device type.
        CEvent e = decodeRecord(rec("02 0a1b2c3d0e4500"), 1, 31, kNow).value(0);
        QCOMPARE(e.strCode, QStringLiteral("*1b2c3d0e45"));
        QCOMPARE(e.strEndCode, e.strCode);
        QCOMPARE(e.nDevType, 45);
        QCOMPARE(e.strTime, QStringLiteral("2024-12-05 21:45:10"));
        // Month 0x13 passes as sent; hour 24, minute or second 60, year 0xA0 or a
        // missing byte give the server's time.
        QCOMPARE(decodeRecord(rec("02 01020304050600", "241305214510"), 1, 31, kNow).value(0).strTime,
                 QStringLiteral("2024-13-05 21:45:10"));
        for (const char *t : {"241205244510", "241205216010", "241205214560", "a01205214510"})
            QCOMPARE(decodeRecord(rec("02 01020304050600", t), 1, 31, kNow).value(0).strTime, kNowText);
        QCOMPARE(decodeRecord(hex("02 01020304050600 2412052145"), 1, 31, kNow).value(0).strTime, kNowText);
        // Panel-wide kinds keep the code in strCode only.
        e = decodeRecord(rec("0a 01020304050600"), 1, 31, kNow).value(0);
        QCOMPARE(e.nEventCode, 121);
        QCOMPARE(e.strCode, QStringLiteral("10203040506"));
        QCOMPARE(e.strEndCode, QString());
    }
    void panelStatusGivesThreeEvents()
    {
        // Panel 123 in BCD; byte 3 0 (114), byte 4 0x03 (117), byte 5 not 0 (113).
        QList<CEvent> events = decodeRecord(rec("14 01230003070000"), 9, 251, kNow);
        QCOMPARE(codes(events), (QList<int>{114, 117, 113}));
        for (const CEvent &e : events)
            QCOMPARE(int(e.nPanelID), 123);
        QCOMPARE(codes(decodeRecord(rec("14 00010102000000"), 9, 251, kNow)), (QList<int>{111, 112, 118}));
        QCOMPARE(codes(decodeRecord(rec("14 00010101000000"), 9, 251, kNow)), (QList<int>{111, 116, 118}));
        QCOMPARE(codes(decodeRecord(rec("14 00010109000000"), 9, 251, kNow)), (QList<int>{111, 115, 118}));
        // A number that does not fit the event's panel field keeps the driver's own.
        QCOMPARE(int(decodeRecord(rec("14 03000000000000"), 9, 251, kNow).value(0).nPanelID), 9);
    }
    void longRecordsInABlock()
    {
        const QByteArray longRec = GlenPanelSim::longRecord(201, 0x02, 0xF0);
        QCOMPARE(longRec.size(), 29);
        const QByteArray shortRec = rec("02 01020304050600");
        // A block: long, short, and a short record cut off by the block's end.
        const QList<QByteArray> parts = splitRecords(longRec + shortRec + hex("0301020304"));
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts.at(0), longRec);
        QCOMPARE(parts.at(1), shortRec);
        QCOMPARE(parts.at(2), hex("0301020304"));
        const CEvent e = decodeRecord(parts.at(0), 9, 31, kNow).value(0);
        QCOMPARE(e.nEventCode, 6305);
        QCOMPARE(int(e.nPanelID), 201);
        QCOMPARE(e.nLoop, 2);
        QCOMPARE(e.nAddress, -16); // signed byte
        QCOMPARE(e.strTime, kNowText);
        QCOMPARE(e.strNote, QString::fromLatin1(longRec.toHex()).mid(12, 36));
        QCOMPARE(e.strNote.size(), 36);
        QCOMPARE(decodeRecord(parts.at(2), 9, 31, kNow).value(0).strTime, kNowText);
        // A header announces a block only with 0x60 in byte 4.
        QCOMPARE(blockLength(hex("cbbca0a0 60 0000 1c")), 28);
        QCOMPARE(blockLength(hex("cbbca0a0 50 0000 1c")), 0);
    }
};

QTEST_GUILESS_MAIN(TestGlenFrames)
#include "tst_glenframes.moc"
