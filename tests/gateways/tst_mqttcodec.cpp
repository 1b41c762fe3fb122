// The MQTT payloads byte for byte, and the commands that come back: what a
// valid one becomes on its way to the panels, and the malformed ones, which
// are refused with a reason and the sender's id where it gave a usable one.

#include "gateways/mqttcodec.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace MqttCodec;

class TestMqttCodec : public QObject
{
    Q_OBJECT

private slots:
    void eventOnTheWire()
    {
        CEvent e;
        e.nCom = 3;
        e.nPanelID = 1;
        e.nPanelType = 22;
        e.nEventType = 1;
        e.nEventCode = 2;
        e.nEventNo = 1;
        e.strEventName = QStringLiteral("报警");
        e.nEventProperty = 1;
        e.nDevType = 5;
        e.nValue = 0;
        e.strCode = QStringLiteral("00100503");
        e.strNote = QStringLiteral("一楼\"东\"\\\n\x01");
        e.strTime = QStringLiteral("2024-03-01 08:00:00");
        const QByteArray wire = withSeq(encodeEvent(e), 42);
        QCOMPARE(wire, QByteArray("{\"seq\":42,\"panel\":1,\"panelType\":22,\"com\":3,\"eventClass\":1,"
                                  "\"eventNumber\":1,\"eventName\":\"报警\",\"property\":1,\"code\":\"00100503\","
                                  "\"endCode\":\"\",\"deviceType\":5,\"value\":0,"
                                  "\"note\":\"一楼\\\"东\\\"\\\\\\n\\u0001\",\"time\":\"2024-03-01 08:00:00\"}"));
        // Any JSON reader gets the texts back as they were.
        QCOMPARE(QJsonDocument::fromJson(wire).object().value("note").toString(), e.strNote);
        QCOMPARE(withSeq("{}", 7), QByteArray("{\"seq\":7}"));

        ControllerState s;
        s.name = QStringLiteral("一号主机");
        s.type = 22;
        s.typeName = QStringLiteral("火灾报警控制器(22型)");
        s.running = true;
        s.comm = QStringLiteral("lost");
        s.since = QStringLiteral("2024-03-01 08:00:05");
        QCOMPARE(encodeControllerState(s),
                 QByteArray("{\"comm\":\"lost\",\"name\":\"一号主机\",\"running\":true,"
                            "\"since\":\"2024-03-01 08:00:05\",\"type\":22,\"typeName\":\"火灾报警控制器(22型)\"}"));
        QCOMPARE(encodeResult(QStringLiteral("c1"), true, QString()),
                 QByteArray("{\"error\":\"\",\"id\":\"c1\",\"ok\":true}"));
        QCOMPARE(encodeResult(QString(), false, QStringLiteral("not a JSON object")),
                 QByteArray("{\"error\":\"not a JSON object\",\"id\":null,\"ok\":false}"));
    }

    void validCommands_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("panel");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QList<int>>("loopChannelSwitch");
        QTest::newRow("silence") << QByteArray(R"({"id":"a","cmd":"silence","panel":3})") << 0x89 << 3 << ""
                                 << "" << QList<int>{0, 0, 0};
        QTest::newRow("word in capitals, spaces") << QByteArray(R"({"id":"a","cmd":" RESET ","panel":255})")
                                                  << 0x94 << 255 << "" << "" << QList<int>{0, 0, 0};
        QTest::newRow("settime for all panels") << QByteArray(R"({"id":"a","cmd":"settime"})") << 0x95 << 0 << ""
                                                << "" << QList<int>{0, 0, 0};
        QTest::newRow("start a range") << QByteArray(R"({"id":"a","cmd":"start","panel":1,"from":"00100503",)"
                                                     R"("to":"00100509","extra":[1]})")
                                       << 0x90 << 1 << "00100503" << "00100509" << QList<int>{0, 0, 0};
        QTest::newRow("disable one device") << QByteArray(R"({"id":"a","cmd":"disable","panel":1,"from":"0a1"})")
                                            << 0x92 << 1 << "0a1" << "0a1" << QList<int>{0, 0, 0};
        QTest::newRow("read") << QByteArray(R"({"id":"a","cmd":"read","panel":2,"loop":4,"channel":9,"switch":1})")
                              << 0x98 << 2 << "" << "" << QList<int>{4, 9, 1};
    }

    void validCommands()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, code);
        QFETCH(int, panel);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QList<int>, loopChannelSwitch);
        const Command c = decodeCommand(payload);
        QCOMPARE(c.error, QString());
        QCOMPARE(c.id, QStringLiteral("a"));
        QCOMPARE(c.event.nEventCode, code);
        QCOMPARE(int(c.event.nPanelID), panel);
        QCOMPARE(c.event.strCode, from);
        QCOMPARE(c.event.strEndCode, to);
        QCOMPARE((QList<int>{c.event.nLoop, c.event.nChannel, c.event.nDevType}), loopChannelSwitch);
    }

    void malformedCommands_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("reason");
        QTest::newRow("garbage") << QByteArray("reset panel 1") << "" << "not JSON";
        QTest::newRow("an array") << QByteArray(R"([{"id":"a"}])") << "" << "not a JSON object";
        QTest::newRow("oversized") << QByteArray(R"({"id":"a","cmd":"reset","panel":1,"x":")")
                + QByteArray(5000, 'x') + "\"}" << "" << "longer than 4096";
        QTest::newRow("no id") << QByteArray(R"({"cmd":"reset","panel":1})") << "" << "\"id\"";
        QTest::newRow("numeric id") << QByteArray(R"({"id":5,"cmd":"reset","panel":1})") << "" << "\"id\"";
        QTest::newRow("unknown word") << QByteArray(R"({"id":"a","cmd":"explode","panel":1})") << "a" << "\"cmd\"";
        QTest::newRow("no panel") << QByteArray(R"({"id":"a","cmd":"silence"})") << "a" << "\"panel\" is missing";
        QTest::newRow("panel 0") << QByteArray(R"({"id":"a","cmd":"reset","panel":0})") << "a" << "\"panel\"";
        QTest::newRow("panel 256") << QByteArray(R"({"id":"a","cmd":"settime","panel":256})") << "a" << "\"panel\"";
        QTest::newRow("panel as text") << QByteArray(R"({"id":"a","cmd":"reset","panel":"1"})") << "a" << "\"panel\"";
        QTest::newRow("panel 1.5") << QByteArray(R"({"id":"a","cmd":"reset","panel":1.5})") << "a" << "\"panel\"";
        QTest::newRow("start without from") << QByteArray(R"({"id":"a","cmd":"start","panel":1})") << "a"
                                            << "\"from\"";
        QTest::newRow("code with a quote") << QByteArray(R"({"id":"a","cmd":"stop","panel":1,"from":"00'1"})")
                                           << "a" << "\"from\"";
        QTest::newRow("read without loop") << QByteArray(R"({"id":"a","cmd":"read","panel":1,"channel":1})") << "a"
                                           << "\"loop\"";
        QTest::newRow("read switch 2") << QByteArray(R"({"id":"a","cmd":"read","panel":1,"loop":1,"channel":1,)"
                                                     R"("switch":2})")
                                       << "a" << "\"switch\"";
    }

    void malformedCommands()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, id);
        QFETCH(QString, reason);
        const Command c = decodeCommand(payload);
        QVERIFY2(c.error.contains(reason), qPrintable(c.error));
        QCOMPARE(c.id, id);
    }
};

QTEST_GUILESS_MAIN(TestMqttCodec)
#include "tst_mqttcodec.moc"
