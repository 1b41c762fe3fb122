// The DC-09 codec against the published frames, byte for byte in both
// directions; encrypted round trips for every key size; and what a
// receiver's or a transmitter's stream may bring: garbage, truncation,
// wrong CRC or length, oversized frames.

#include "remote/dc09codec.h"

#include <QtTest>

namespace {
QByteArray framed(const char *text)
{
    return '\n' + QByteArray(text) + '\r';
}

Dc09::Key textKey(const char *text)
{
    Dc09::Key key;
    QString error;
    Dc09::Key::parse(QString::fromLatin1(text), QStringLiteral("text"), &key, &error);
    return key;
}
} // namespace

class TestDc09Codec : public QObject
{
    Q_OBJECT
private slots:
    void crcCheckValue()
    {
        QCOMPARE(Dc09::crc16("123456789"), quint16(0xBB3D));
    }

    void publishedFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<int>("seq");
        QTest::addColumn<QByteArray>("receiver");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("account");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("time");
        QTest::newRow("NULL") << framed(R"(EA740027"NULL"0000L0#1409[]_20:38:07,08-27-2026)") << QByteArray("NULL") << 0
                              << QByteArray() << QByteArray("0") << QByteArray("1409") << QByteArray()
                              << "2026-08-27T20:38:07Z";
        QTest::newRow("ACK") << framed(R"(59890012"ACK"0000L0#1409[])") << QByteArray("ACK") << 0 << QByteArray()
                             << QByteArray("0") << QByteArray("1409") << QByteArray() << QString();
        QTest::newRow("SIA-DCS with receiver") << framed(R"(F4D20029"SIA-DCS"0001RF3L77#1234[#1234|NRR|Atest])")
                                               << QByteArray("SIA-DCS") << 1 << QByteArray("F3") << QByteArray("77")
                                               << QByteArray("1234") << QByteArray("#1234|NRR|Atest") << QString();
        QTest::newRow("SIA-DCS") << framed(R"(480B0039"SIA-DCS"0011L0#AAA[#AAA|Nri0/RP0000]_09:17:30,02-20-2023)")
                                 << QByteArray("SIA-DCS") << 11 << QByteArray() << QByteArray("0") << QByteArray("AAA")
                                 << QByteArray("#AAA|Nri0/RP0000") << "2023-02-20T09:17:30Z";
        QTest::newRow("NAK") << framed(R"(E4410025"NAK"0000R0L0A0[]_16:20:01,09-24-2025)") << QByteArray("NAK") << 0
                             << QByteArray("0") << QByteArray("0") << QByteArray("0") << QByteArray()
                             << "2025-09-24T16:20:01Z";
        QTest::newRow("ADM-CID") << framed(R"(2C04003B"ADM-CID"0001L0#1234[#1234|1110 01 015]_14:30:00,03-15-2025)")
                                 << QByteArray("ADM-CID") << 1 << QByteArray() << QByteArray("0") << QByteArray("1234")
                                 << QByteArray("#1234|1110 01 015") << "2025-03-15T14:30:00Z";
    }

    void publishedFrames()
    {
        QFETCH(QByteArray, frame);
        const Dc09::Decoded d = Dc09::decode(frame + "\n12", Dc09::Key());
        QCOMPARE(int(d.status), int(Dc09::Status::Complete));
        QCOMPARE(d.consumed, frame.size());
        const Dc09::Message &m = d.message;
        QTEST(m.id, "id");
        QTEST(m.seq, "seq");
        QTEST(m.receiver, "receiver");
        QTEST(m.line, "line");
        QTEST(m.account, "account");
        QTEST(m.data, "data");
        QFETCH(QString, time);
        QCOMPARE(m.timestamp, time.isEmpty() ? QDateTime() : QDateTime::fromString(time, Qt::ISODate));
        QVERIFY(!m.encrypted);
        QCOMPARE(Dc09::encode(m), frame);
    }

    void publishedEncryptedFrame()
    {
        const QByteArray frame = framed(
            R"(23010076"*SIA-DCS"0007L0#1234[AA4118B26287782C1D07315CAC878BFFB90704E5FE12429477908FEFE4DFC9054DFBB20677B4B2C85EB417C9525A4C5E)");
        const Dc09::Key key = textKey("AAAAAAAAAAAAAAAA");
        const Dc09::Decoded d = Dc09::decode(frame, key);
        QCOMPARE(int(d.status), int(Dc09::Status::Complete));
        QVERIFY(d.message.encrypted);
        QCOMPARE(d.message.seq, 7);
        QCOMPARE(d.message.data, QByteArray("#1234|Nri1/FA015"));
        QCOMPARE(d.message.timestamp, QDateTime::fromString("2025-03-15T14:30:00Z", Qt::ISODate));
        QCOMPARE(Dc09::encode(d.message, key, [](int n) { return QByteArray(n, '0'); }), frame);
        // Without the key, or with another, it is refused, not misread.
        QCOMPARE(int(Dc09::decode(frame).status), int(Dc09::Status::Invalid));
        QCOMPARE(int(Dc09::decode(frame, textKey("BBBBBBBBBBBBBBBB")).status), int(Dc09::Status::Invalid));
    }

    void encryptedRoundTripEveryKeySize_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("format");
        QTest::newRow("AES-128 hex") << "000102030405060708090A0B0C0D0E0F" << "hex";
        QTest::newRow("AES-192 text") << "abcdefghijklmnopqrstuvwx" << "text";
        QTest::newRow("AES-256 hex") << QString(64, QLatin1Char('7')) << "hex";
    }

    void encryptedRoundTripEveryKeySize()
    {
        QFETCH(QString, key);
        QFETCH(QString, format);
        Dc09::Key k;
        QString error;
        QVERIFY2(Dc09::Key::parse(key, format, &k, &error), qPrintable(error));
        Dc09::Message m;
        m.id = "ADM-CID";
        m.encrypted = true;
        m.receiver = "12";
        m.line = "3";
        m.account = "ABC123";
        m.timestamp = QDateTime(QDate(2026, 12, 7), QTime(18, 0, 1), Qt::UTC);
        // Every length of data: the pad takes each of its lengths 1..16.
        for (int n = 0; n < 16; ++n) {
            m.seq = 9990 + n % 10;
            m.data = "#ABC123|3110 01 " + QByteArray(n, '9');
            const QByteArray frame = Dc09::encode(m, k);
            QVERIFY(!frame.isEmpty());
            QVERIFY(frame != Dc09::encode(m, k)); // a fresh random pad each time
            const Dc09::Decoded d = Dc09::decode(frame, k);
            QCOMPARE(int(d.status), int(Dc09::Status::Complete));
            QCOMPARE(d.message, m);
        }
        QVERIFY(!Dc09::Key::parse("0011", "hex", &k, &error));
        QVERIFY(!Dc09::Key::parse("short", "text", &k, &error));
        QVERIFY(!Dc09::Key::parse(key, "base64", &k, &error));
    }

    void brokenStreams()
    {
        const QByteArray good = framed(R"(59890012"ACK"0000L0#1409[])");
        // Truncated: incomplete at every cut, then complete.
        for (int n = 0; n < good.size(); ++n)
            QCOMPARE(int(Dc09::decode(good.left(n)).status), int(Dc09::Status::Incomplete));

        struct Case { QByteArray bytes; int consumed; };
        QByteArray wrongCrc = good;
        wrongCrc[1] = '0';
        QByteArray wrongLength = framed(R"(59890013"ACK"0000L0#1409[])");
        QByteArray badBody = good;
        badBody.replace("0000L0", "00x0L0");
        badBody.replace(1, 4, QByteArray::number(Dc09::crc16(badBody.mid(9, badBody.size() - 10)), 16).toUpper().rightJustified(4, '0'));
        const Case cases[] = {
            {"garbage" + good, 7},                                   // up to the frame's LF
            {wrongCrc + good, good.size()},                          // the frame is dropped whole
            {wrongLength + good, good.size()},                       // no CR there: resynchronised at the next LF
            {"\n0000" + QByteArray::number(Dc09::MaxBody + 1, 16).rightJustified(4, '0') + QByteArray(2000, 'x') + good, 2009},
            {"\nZZ" + good, 3},                                      // header is not hex
            {badBody + good, good.size()},                           // bad sequence number
        };
        for (const Case &c : cases) {
            const Dc09::Decoded d = Dc09::decode(c.bytes);
            QCOMPARE(int(d.status), int(Dc09::Status::Invalid));
            QVERIFY(!d.error.isEmpty());
            QCOMPARE(d.consumed, c.consumed);
            const Dc09::Decoded next = Dc09::decode(c.bytes.mid(d.consumed));
            QCOMPARE(int(next.status), int(Dc09::Status::Complete));
            QCOMPARE(next.message.id, QByteArray("ACK"));
        }
        // An oversized length is refused from its header, before the body arrives.
        QCOMPARE(int(Dc09::decode("\n0000FFFF").status), int(Dc09::Status::Invalid));
    }
};

QTEST_GUILESS_MAIN(TestDc09Codec)
#include "tst_dc09codec.moc"
