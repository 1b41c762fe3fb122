// The client protocol's codec: every request and message kind survives a
// round trip through its JSON form, and nothing it describes for the log
// carries a password.

#include "clients/clientcodec.h"

#include <QJsonDocument>
#include <QtTest>

using ClientCodec::Request;

class TestClientCodec : public QObject
{
    Q_OBJECT

    static CEvent fullEvent()
    {
        CEvent e;
        e.nCom = 3;
        e.nPanelID = 2;
        e.nPanelType = 22;
        e.nEventType = 1;
        e.nEventCode = 1203;
        e.nEventProperty = 1;
        e.nLoop = 4;
        e.nAddress = 5;
        e.nDevType = 6;
        e.nChannel = 7;
        e.nValue = 8;
        e.strNote = QStringLiteral("一楼大厅");
        e.strCode = QStringLiteral("01020304");
        e.strEndCode = QStringLiteral("01020309");
        e.strTime = QStringLiteral("2024-05-06 07:08:09");
        e.strExtra = QStringLiteral("why");
        return e;
    }

    // Through the bytes a peer would really send.
    static Request viaWire(const Request &r)
    {
        const QByteArray bytes = QJsonDocument(ClientCodec::encodeRequest(r)).toJson(QJsonDocument::Compact);
        return ClientCodec::decodeRequest(QJsonDocument::fromJson(bytes).object());
    }

private slots:
    void requestsRoundTrip_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("LOGIN") << int(Request::Login);
        QTest::newRow("LOGOUT") << int(Request::Logout);
        QTest::newRow("SETCONTROL") << int(Request::SetControl);
        QTest::newRow("SETTIME") << int(Request::SetTime);
        QTest::newRow("READVALUESWITCH") << int(Request::ReadValueSwitch);
        QTest::newRow("READVALUE") << int(Request::ReadValue);
        QTest::newRow("GETREMOTE") << int(Request::GetRemote);
        QTest::newRow("DATARECEIVED") << int(Request::DataReceived);
        QTest::newRow("NEWEVENT") << int(Request::NewEvent);
        QTest::newRow("SETLAMP") << int(Request::Lamp);
    }

    void requestsRoundTrip()
    {
        QFETCH(int, kind);
        Request r;
        r.kind = Request::Kind(kind);
        r.user.userName = QStringLiteral("alice");
        r.user.password = QStringLiteral("secret");
        r.user.server = QStringLiteral("srv");
        r.user.strText = QStringLiteral("text");
        r.user.nNumber = 9;
        r.event = fullEvent();
        const Request back = viaWire(r);
        QCOMPARE(int(back.kind), kind);
        QVERIFY(!back.word.isEmpty());
        if (r.kind == Request::Login || r.kind == Request::Logout) {
            QCOMPARE(back.user.userName, r.user.userName);
            QCOMPARE(back.user.password, r.user.password);
            QCOMPARE(back.user.server, r.user.server);
            QCOMPARE(back.user.strText, r.user.strText);
            QCOMPARE(back.user.nNumber, r.user.nNumber);
        }
        // Each word carries its members; the rest stay default.
        CEvent want;
        if (r.kind == Request::SetControl) {
            want = r.event;
            want.nCom = 0;
            want.nEventType = 0;
            want.nValue = 0;
        } else if (r.kind == Request::ReadValue || r.kind == Request::ReadValueSwitch) {
            want.nPanelID = r.event.nPanelID;
            want.nLoop = r.event.nLoop;
            want.nChannel = r.event.nChannel;
            // READVALUE's switch is two-valued on the panel side.
            want.nDevType = r.kind == Request::ReadValue ? 1 : r.event.nDevType;
            want.nPanelType = r.kind == Request::ReadValueSwitch ? r.event.nPanelType : 0;
            want.strNote = r.kind == Request::ReadValue ? QStringLiteral("ReadValue") : QString();
        } else if (r.kind == Request::NewEvent) {
            want = r.event;
            want.nCom = 0;
            want.nPanelType = 0;
            want.nEventType = 0;
            want.nChannel = 0;
            want.nValue = 0;
            want.strExtra.clear();
        }
        QCOMPARE(back.event, want);
    }

    void decodingFollowsTheClientsConventions()
    {
        const auto decode = [](const char *json) {
            return ClientCodec::decodeRequest(QJsonDocument::fromJson(json).object());
        };
        // Words are trimmed and case-folded; any READVALUE word reads a value.
        QCOMPARE(int(decode("{\"b\":\"  getRemote \"}").kind), int(Request::GetRemote));
        QCOMPARE(int(decode("{\"b\":\"readValueNow\",\"k\":1}").kind), int(Request::ReadValue));
        QCOMPARE(int(decode("{\"b\":\"SOUND\"}").kind), int(Request::Lamp));
        QCOMPARE(int(decode("{\"b\":\"FROBNICATE\"}").kind), int(Request::Unknown));
        QCOMPARE(int(decode("{\"d\":1}").kind), int(Request::NoWord));
        // The client's switch is inverted on the panel side.
        QCOMPARE(decode("{\"b\":\"READVALUE\",\"k\":1}").event.nDevType, 0);
        QCOMPARE(decode("{\"b\":\"READVALUE\",\"k\":0}").event.nDevType, 1);
        QCOMPARE(decode("{\"b\":\"READVALUE\",\"k\":2}").event.nDevType, 1);
        QCOMPARE(decode("{\"b\":\"READVALUE\"}").event.strNote, QStringLiteral("ReadValue"));
        // Wrong types read as defaults, a panel number keeps its low 8 bits.
        const CEvent e = decode("{\"b\":\"SETCONTROL\",\"d\":261,\"g\":\"16\",\"m\":7}").event;
        QCOMPARE(int(e.nPanelID), 5);
        QCOMPARE(e.nEventCode, 0);
        QCOMPARE(e.strCode, QString());
        // Panel codes 0x8A-0x93 pass as they are; the range ends there.
        QCOMPARE(ClientCodec::commandCodeFor(0x8A), 0x8A);
        QCOMPARE(ClientCodec::commandCodeFor(0x94), 0);
    }

    void messagesRoundTrip()
    {
        CEvent e = fullEvent();
        e.nEventNo = 1204;
        e.strEventName = QStringLiteral("火警");
        const QJsonObject m = ClientCodec::encodeMessage(7, QStringLiteral("NewEvent"), e.toVariant());
        CEvent want = e;
        want.strExtra.clear(); // never sent to clients
        // A client sees the table's number in "g", not the source's code.
        want.nEventCode = 0;
        want.strEventName.clear();
        QCOMPARE(ClientCodec::decodeEvent(m), want);
        QCOMPARE(m.value("a").toString(), QStringLiteral("7"));
        // The shared encoding gives the same document as the plain one.
        QCOMPARE(ClientCodec::encodeDocument(7, QStringLiteral("NewEvent"), e.toVariant()),
                 QJsonDocument(m).toJson(QJsonDocument::Indented));

        const QString noCommand = QStringLiteral("Program 'getStringFromType' No This Command!");
        const QList<QPair<QString, QString>> replies{
            {"LogOK", "OK"}, {"LogFailed", "FAILED"}, {"RemoteOK", ""}, {"RemoteFailed", ""},
            {"RemoteLedBlink", ""}, {"LogOK_Mulsys", noCommand}, {"LogOutOK", noCommand}};
        for (const auto &r : replies) {
            const QJsonObject o = ClientCodec::encodeMessage(1, r.first, QVariant(QStringLiteral("x")));
            QCOMPARE(o.keys(), (QStringList{"a", "b", "v"}));
            QCOMPARE(o.value("b").toString(), r.first);
            QCOMPARE(o.value("v").toString(), r.second);
        }
    }

    void passwordsNeverReachTheLog()
    {
        UserInfo u;
        u.userName = QStringLiteral("alice");
        u.password = QStringLiteral("secret");
        u.server = QStringLiteral("srv");
        QCOMPARE(ClientCodec::describeMessage(QStringLiteral("LOGIN"), u.toVariant()),
                 QStringLiteral("type:LOGIN server:srv user:alice pw:******"));
        QCOMPARE(ClientCodec::redactPasswords("{\"b\":\"LOGIN\",\"t\":\"alice\", \"u\" : \"se\\\"cret\",x"),
                 QByteArray("{\"b\":\"LOGIN\",\"t\":\"alice\", \"u\" : \"******\",x"));
        QCOMPARE(ClientCodec::redactPasswords("{\"b\":\"LOGIN\",\"u\":\"unterminated"),
                 QByteArray("{\"b\":\"LOGIN\",\"u\":\"******"));
        CEvent valued;
        valued.nValue = 12;
        QCOMPARE(ClientCodec::describeMessage(QStringLiteral("NewEvent"), valued.toVariant()),
                 QStringLiteral("Com:0 PanelID:0 PanelType: Value:12 "));
    }
};

QTEST_GUILESS_MAIN(TestClientCodec)
#include "tst_clientcodec.moc"
