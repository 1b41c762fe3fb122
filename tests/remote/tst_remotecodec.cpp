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
        QCOMPARE(sizeField(0x01020304), QByteArray("\x04\x03\x02\x01", 4));
        // Arriving in pieces: nothing until the whole frame is there; what
        // follows it stays for the next call.
        const QByteArray two = encodeFrame("5||x||y") + heartbeatFrame();
        QCOMPARE(decodeFrame(two.left(3), 1023).status, FrameResult::Incomplete);
        QCOMPARE(decodeFrame(two.left(10), 1023).status, FrameResult::Incomplete);
        const FrameResult first = decodeFrame(two, 1023);
        QCOMPARE(first.status, FrameResult::Complete);
        QCOMPARE(first.payload, QByteArray("5||x||y"));
        QCOMPARE(decodeFrame(two.mid(first.consumed), 1023).payload, QByteArray("a"));
        // A length past the cap is refused from the header alone.
        QCOMPARE(decodeFrame(sizeField(1024), 1023).status, FrameResult::Invalid);
        QCOMPARE(decodeFrame(sizeField(0xffffffffu), 1023).status, FrameResult::Invalid);
        QCOMPARE(decodeFrame(sizeField(1023) + QByteArray(1023, 'a'), 1023).status, FrameResult::Complete);
    }

    void eventLines()
    {
        CEvent e;
        e.nEventType = 1;
        e.nPanelType = 10;
        e.nPanelID = 2;
        e.strCode = QStringLiteral("00010203");
        e.strTime = QStringLiteral("2001-01-01 00:00:00"); // not used: the line carries its own time
        QCOMPARE(eventLine(e, QStringLiteral("火警"), "2024-05-01 08:30:00", "192.168.1.10"),
                 QStringLiteral("DeviceData||火灾报警系统||火灾报警系统2设备00010203:火警||2024-05-01 08:30:00||192.168.1.10||2||0"));

        // Kind from class 10 on, system by panel type, "%1" in a code kept,
        // the communication class with its state.
        e.nPanelID = 7;
        e.strCode = QStringLiteral("%1%2");
        const auto line = [&e](int type, int panelType, int property) {
            e.nEventType = type;
            e.nPanelType = panelType;
            e.nEventProperty = property;
            return eventLine(e, QStringLiteral("通讯"), "T", "A");
        };
        QCOMPARE(line(9, 30, 1), QStringLiteral("DeviceData||可燃气体报警系统||可燃气体报警系统7设备%1%2:通讯||T||A||7||0"));
        QCOMPARE(line(10, 41, 1), QStringLiteral("Controller||气体灭火系统||气体灭火系统7设备%1%2:通讯||T||A||7||0"));
        QCOMPARE(line(17, 200, 0), QStringLiteral("Controller||电气火灾监控系统||电气火灾监控系统7设备%1%2:通讯 正常||T||A||7||0"));
        QCOMPARE(line(17, 233, 1), QStringLiteral("Controller||防火门监控系统||防火门监控系统7设备%1%2:通讯 故障||T||A||7||0"));
    }

    void requestsAndReplyLines()
    {
        QCOMPARE(encodeRequest("5", "2024-01-01", "2024-01-31"), QByteArray("5||2024-01-01||2024-01-31"));
        Request r = decodeRequest("5||2024-01-01||2024-01-31");
        QVERIFY(r.valid);
        QCOMPARE(r.code, 5);
        QCOMPARE(r.startDate + r.endDate, QStringLiteral("2024-01-012024-01-31"));
        r = decodeRequest("1000||||");
        QVERIFY(r.valid && r.code == 1000 && r.startDate.isEmpty() && r.endDate.isEmpty());
        // Text ends at a zero byte; further fields are ignored.
        r = decodeRequest(QByteArray("0||2024-01-01||2024-01-02||extra") + '\0' + "||garbage");
        QVERIFY(r.valid && r.endDate == QLatin1String("2024-01-02"));
        QVERIFY(!decodeRequest(QByteArray("5||2024-01-01") + '\0' + "||2024-01-31").valid);
        QVERIFY(!decodeRequest("5||2024-01-01").valid);

        QCOMPARE(documentLine("10.0.0.5", QStringLiteral("管理机构"), "2024-05-01 08:30:00"),
                 QStringLiteral("10.0.0.5||系统文件||管理机构.pdf||2024-05-01 08:30:00"));
        QCOMPARE(logLine("10.0.0.5", QStringLiteral("火警"), QStringLiteral("一号楼"), "2024-01-31 23:59:59"),
                 QStringLiteral("10.0.0.5||火警||一号楼||2024-01-31 23:59:59"));
    }
};

QTEST_APPLESS_MAIN(TestRemoteCodec)
#include "tst_remotecodec.moc"
