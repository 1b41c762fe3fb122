// The Birch/Ash decoders on their own, report body in and fields out; the
// server frames are checked on the wire in tst_birchdriver.

#include "panels/models/ashframes.h"
#include "panels/models/birchframes.h"

#include <QtTest>

using namespace BirchFrames;

class TestBirchFrames : public QObject
{
    Q_OBJECT
private slots:
    void reports()
    {
        // The body after the length byte: 00, kind AA, the code, bytes 3..6.
        const struct { bool ash; const char *body; int code; const char *strCode; Report::Record record; } cases[] = {
            {false, "00aa1b0a1000ff", 8, "0*1000ff", Report::StoredRecord}, // a nibble A is a wildcard digit
            {false, "00aa110c030007", 7, "00301207", Report::NoRecord},     // decimal: byte 4, byte 3, byte 6
            {false, "00aade00000900", 0, "00000000", Report::EmptyRecord},  // byte 5 is no address
            {false, "00aa0401020304", 12, "00000000", Report::PanelReset},
            {false, "00aaff00000001", 1, "00000001", Report::EndOfRecords},
            {false, "00aa61", 37, "", Report::NoRecord},
            {false, "00aa1aab000001", 9, "*b000001", Report::NoRecord},
            {false, "00aa2001000001", 38, "00000101", Report::NoRecord},
            {false, "00aa7701020304", 0, "00200104", Report::NoRecord},
            {false, "00aa1501010030", 5, "00100148", Report::NoRecord}, // fire by device type...
            {false, "00aa1501010035", 2, "00100153", Report::NoRecord},
            {false, "00aa1501010040", 4, "00100164", Report::NoRecord},
            {false, "00aa150101", 2, "00100100", Report::NoRecord},     // ...or without one
            {false, "00aa", 0, "", Report::NoRecord},
            {true, "00aa22012a0359", 7, "012*0389", Report::NoRecord},
            {true, "00aa2201020340", 6, "01020364", Report::NoRecord},
            {true, "00aa220102030f", 5, "01020315", Report::NoRecord},
            {true, "00aa22010203", 6, "01020300", Report::NoRecord},
            {true, "00aa1501020338", 5, "01020356", Report::NoRecord},
            {true, "00aa150102031d", 7, "01020329", Report::NoRecord},
            {true, "00aa1501020340", 1, "01020364", Report::NoRecord},
            {true, "00aa0301020304", 914, "01020304", Report::NoRecord},
            {true, "00aade01020304", 8, "01020304", Report::StoredRecord},
            {true, "00aade00000000", 0, "00000000", Report::EmptyRecord},
            {true, "00aaff00000000", 1, "00000000", Report::EndOfRecords},
            {true, "00aa0401020304", 121, "", Report::PanelReset},
            {true, "00aa70", 122, "", Report::NoRecord},
            {true, "00aa3101020304", 100, "", Report::NoRecord},
            {true, "00aa9901020304", 0, "01020304", Report::NoRecord},
        };
        for (const auto &c : cases) {
            const QByteArray body = QByteArray::fromHex(c.body);
            const Report r = c.ash ? AshFrames::decodeReport(body) : decodeBirchReport(body);
            QVERIFY2(r.eventCode == c.code && r.strCode == QLatin1String(c.strCode) && r.record == c.record,
                     qPrintable(QStringLiteral("%1: %2 %3 %4").arg(c.body).arg(r.eventCode).arg(r.strCode).arg(r.record)));
            QCOMPARE(r.devType, r.hasAddress ? int(quint8(body.size() > 6 ? body.at(6) : 0)) : 0);
        }
        QCOMPARE(decodeBirchReport(QByteArray::fromHex("00aa0401020304")).strEndCode, QStringLiteral("00000000"));
    }

    void recordBookkeeping()
    {
        bool done = false;
        int counter = 252;
        applyRecord(Report::EmptyRecord, done, counter);
        applyRecord(Report::StoredRecord, done, counter);
        QVERIFY(!done);
        QCOMPARE(counter, 254);
        applyRecord(Report::StoredRecord, done, counter); // the counter never reaches 255: reading ends
        QVERIFY(done);
        QCOMPARE(counter, 1);
        applyRecord(Report::StoredRecord, done, counter); // a plain poll's record moves nothing
        QCOMPARE(counter, 1);
        counter = 9;
        applyRecord(Report::PanelReset, done, counter); // rewinds; the model decides when to read again
        QVERIFY(done);
        QCOMPARE(counter, 1);
    }

    void deviceAddresses()
    {
        QCOMPARE(birchDeviceAddress(QStringLiteral("00012345678")), QByteArray::fromHex("12345678"));
        QCOMPARE(birchDeviceAddress(QStringLiteral("00012")), QByteArray::fromHex("12000000")); // missing pairs: 0
        QCOMPARE(ashDeviceAddress(QStringLiteral("9*x20304")), QByteArray::fromHex("90020304"));
    }

    void ashStatusLatching()
    {
        AshFrames::StatusLatch latch;
        // Event codes, then the last event's property and code text.
        const auto decode = [&latch](const char *frame, int id) {
            QStringList out;
            const QList<AshFrames::StatusEvent> ev = AshFrames::decodeStatus(QByteArray::fromHex(frame), id, latch);
            for (const AshFrames::StatusEvent &e : ev)
                out << QString::number(e.eventCode);
            return out.join(' ') + QStringLiteral(" %1 %2").arg(ev.last().property).arg(ev.last().strCode);
        };
        QCOMPARE(decode("00b1e8", 12), QStringLiteral("111 112 113 127 1 00001298")); // power bits; bit 3 latches
        QCOMPARE(decode("00b1", 12), QStringLiteral("114 115 118 128 0 00001298"));    // a 2-byte body reads as 0
        // Bit 4 latched, then bit 3 alone: both latch; clear frames restore 4 first, then 3.
        QCOMPARE(decode("00b110", 1), QStringLiteral("114 115 118 125 1 00000197"));
        QCOMPARE(decode("00b108", 1), QStringLiteral("114 115 118 127 1 00000198"));
        QCOMPARE(decode("00b100", 1), QStringLiteral("114 115 118 126 0 00000197"));
        QCOMPARE(decode("00b100", 1), QStringLiteral("114 115 118 128 0 00000198"));
        QCOMPARE(decode("00b100", 1), QStringLiteral("114 115 118 0 "));
    }
};

QTEST_GUILESS_MAIN(TestBirchFrames)
#include "tst_birchframes.moc"
