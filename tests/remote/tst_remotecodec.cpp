// Centre and query wire formats, byte by byte: frames, the event line, the
// request and the reply lines.

#include "remote/remotecodec.h"

#include <QtTest>

using namespace RemoteCodec;

class TestRemoteCodec : public QObject
{
    Q_OBJECT

private slots:
    void framesAreLittleEndianLengthThenPayload()
    {
        QCOMPARE(heartbeatFrame(), QByteArray("\x01\x00\x00\x00" "a", 5));
        QCOMPARE(encodeFrame(QByteArray(300, 'x')).left(4), QByteArray("\x2c\x01\x00\x00", 4));
        QCOMPARE(sizeField(0x01020304), QByteArray("\x04\x03\x02\x01", 4));

        // Arriving in pieces: nothing until the whole frame is there; a
        // second frame behind it stays for the next call.
        const QByteArray two = encodeFrame("5||x||y") + heartbeatFrame();
        QCOMPARE(decodeFrame(two.left(3), 1023).status, FrameResult::Incomplete);
        QCOMPARE(decodeFrame(two.left(10), 1023).status, FrameResult::Incomplete);
        const FrameResult first = decodeFrame(two, 1023);
        QCOMPARE(first.status, FrameResult::Complete);
        QCOMPARE(first.payload, QByteArray("5||x||y"));
        QCOMPARE(first.consumed, 11);
        QCOMPARE(decodeFrame(two.mid(first.consumed), 1023).payload, QByteArray("a"));

        // A length past the cap is refused from the header alone.
        const FrameResult big = decodeFrame(sizeField(1024), 1023);
        QCOMPARE(big.status, FrameResult::Invalid);
        QCOMPARE(big.length, 1024u);
        QCOMPARE(decodeFrame(sizeField(0xffffffffu), 1023).status, FrameResult::Invalid);
        QCOMPARE(decodeFrame(sizeField(1023) + QByteArray(1023, 'a'), 1023).status, FrameResult::Complete);
    }

    void eventLineOfTheDocumentedExample()
    {
        CEvent e;
        e.nEventType = 1;
        e.nPanelType = 10;
        e.nPanelID = 2;
        e.strCode = QStringLiteral("00010203");
        e.strTime = QStringLiteral("2001-01-01 00:00:00"); // not used: the line carries its own time
        QCOMPARE(eventLine(e, QStringLiteral("火警"), QStringLiteral("2024-05-01 08:30:00"), QStringLiteral("192.168.1.10")),
                 QStringLiteral("DeviceData||火灾报警系统||火灾报警系统2设备00010203:火警||2024-05-01 08:30:00||192.168.1.10||2||0"));
    }

    void eventLineKindSystemAndCommunicationSuffix()
    {
        CEvent e;
        e.nPanelID = 7;
        e.strCode = QStringLiteral("%1%2");
        const auto line = [&e](int type, int panelType, int property) {
            e.nEventType = type;
            e.nPanelType = panelType;
            e.nEventProperty = property;
            return eventLine(e, QStringLiteral("通讯"), QStringLiteral("T"), QStringLiteral("A"));
        };
        QCOMPARE(line(9, 30, 1), QStringLiteral("DeviceData||可燃气体报警系统||可燃气体报警系统7设备%1%2:通讯||T||A||7||0"));
        QCOMPARE(line(10, 41, 1), QStringLiteral("Controller||气体灭火系统||气体灭火系统7设备%1%2:通讯||T||A||7||0"));
        QCOMPARE(line(17, 200, 0), QStringLiteral("Controller||电气火灾监控系统||电气火灾监控系统7设备%1%2:通讯 正常||T||A||7||0"));
        QCOMPARE(line(17, 233, 1), QStringLiteral("Controller||防火门监控系统||防火门监控系统7设备%1%2:通讯 故障||T||A||7||0"));
        QCOMPARE(line(17, 231, 2).section(QStringLiteral("||"), 2, 2), QStringLiteral("防火门监控系统7设备%1%2:通讯 故障"));
        for (int type : {0, 20, 22, 33, 42, 199, 201, 232, 250})
            QCOMPARE(systemName(type), QStringLiteral("火灾报警系统"));
    }

    void requestFieldsKeepEmptiesAndEndAtZero()
    {
        QCOMPARE(encodeRequest("5", "2024-01-01", "2024-01-31"), QByteArray("5||2024-01-01||2024-01-31"));
        Request r = decodeRequest("5||2024-01-01||2024-01-31");
        QVERIFY(r.valid);
        QCOMPARE(r.code, 5);
        QCOMPARE(r.startDate, QStringLiteral("2024-01-01"));
        QCOMPARE(r.endDate, QStringLiteral("2024-01-31"));

        r = decodeRequest("1000||||");
        QVERIFY(r.valid);
        QCOMPARE(r.code, 1000);
        QVERIFY(r.startDate.isEmpty() && r.endDate.isEmpty());

        r = decodeRequest(QByteArray("0||2024-01-01||2024-01-01||extra") + '\0' + "||garbage");
        QVERIFY(r.valid);
        QCOMPARE(r.endDate, QStringLiteral("2024-01-01"));
        QVERIFY(!decodeRequest(QByteArray("5||2024-01-01") + '\0' + "||2024-01-31").valid);
        QVERIFY(!decodeRequest("5||2024-01-01").valid);
        QVERIFY(!decodeRequest("").valid);
        QCOMPARE(decodeRequest("abc||a||b").code, 0); // no number: every action
    }

    void replyLines()
    {
        QCOMPARE(documentLine("10.0.0.5", QStringLiteral("管理机构"), "2024-05-01 08:30:00"),
                 QStringLiteral("10.0.0.5||系统文件||管理机构.pdf||2024-05-01 08:30:00"));
        QCOMPARE(logLine("10.0.0.5", QStringLiteral("火警"), QStringLiteral("一号楼"), "2024-01-31 23:59:59"),
                 QStringLiteral("10.0.0.5||火警||一号楼||2024-01-31 23:59:59"));
    }
};

QTEST_APPLESS_MAIN(TestRemoteCodec)
#include "tst_remotecodec.moc"
