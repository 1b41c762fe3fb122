// Client protocol on the wire: message format, framing of the inbound
// stream, delivery of dispatcher events and panel commands.

#include "clientfixture.h"

#include "clients/clientaccounts.h"
#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestClientWire : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<ClientServer> m_srv;

    // A peer whose first message has reached its client object.
    std::unique_ptr<Peer> activePeer(const QString &from = QStringLiteral("127.0.0.1"))
    {
        auto p = std::make_unique<Peer>();
        const int index = m_srv->clients.size();
        if (!p->connectTo(m_srv->port(), from))
            return nullptr;
        if (!QTest::qWaitFor([&]() { return m_srv->clients.size() > index; }, 5000))
            return nullptr;
        p->command(QStringLiteral("DATARECEIVED"));
        if (!QTest::qWaitFor([&]() { return m_srv->reads.value(index) > 0; }, 5000))
            return nullptr;
        return p;
    }

    std::unique_ptr<Peer> loggedInPeer(const QString &user)
    {
        auto p = activePeer();
        if (!p)
            return nullptr;
        p->login(user, QStringLiteral("pw"));
        if (!QTest::qWaitFor([&]() { return m_srv->states.contains(qMakePair(user, 1)); }, 5000))
            return nullptr;
        return p;
    }

    static CEvent sampleEvent()
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
        e.strNote = QStringLiteral("一楼大厅");
        e.strCode = QStringLiteral("01020304");
        e.strTime = QStringLiteral("2024-05-06 07:08:09");
        return e;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
    }

    void init()
    {
        ServerContext &ctx = ServerContext::instance();
        ctx.isControl = false;
        ctx.bRemote = false;
        ctx.remoteLinkOk = false;
        ctx.isHaveUserType = false;
        // These peers stand for display boards that never log in.
        ctx.eventsWithoutLogin = true;
        ClientAccounts::instance().clear();
        ClientAccounts::instance().addAccount(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("Local"));
        ClientAccounts::instance().addAccount(QStringLiteral("bob"), QStringLiteral("pw"), QStringLiteral("Local"));
        CClient::resetSequence(0);
        m_srv = std::make_unique<ClientServer>();
        m_srv->timing.heartbeatMs = 60000;
        QVERIFY(m_srv->listen());
    }

    void cleanup() { m_srv.reset(); }

    // --- wire format -------------------------------------------------------

    void newEventIsIndentedWithSingleLetterKeys()
    {
        auto p = activePeer();
        QVERIFY(p);
        m_srv->emitEvent(sampleEvent());
        QTRY_COMPARE(p->msgs.size(), 1);
        const QByteArray expected = QStringLiteral(
            "{\n"
            "    \"a\": \"1\",\n"
            "    \"b\": \"NewEvent\",\n"
            "    \"c\": 3,\n"
            "    \"d\": 2,\n"
            "    \"e\": 22,\n"
            "    \"f\": 1,\n"
            "    \"g\": 1203,\n"
            "    \"h\": 1,\n"
            "    \"i\": 4,\n"
            "    \"j\": 5,\n"
            "    \"k\": 6,\n"
            "    \"l\": \"一楼大厅\",\n"
            "    \"m\": \"01020304\",\n"
            "    \"n\": \"\",\n"
            "    \"o\": \"2024-05-06 07:08:09\",\n"
            "    \"p\": 0,\n"
            "    \"x\": 7\n"
            "}\n").toUtf8();
        QCOMPARE(p->raw, expected);
    }

    void sequenceIsSharedAndWrapsAfter65534()
    {
        auto p1 = activePeer();
        auto p2 = activePeer();
        QVERIFY(p1 && p2);
        CClient::resetSequence(65532);
        m_srv->emitEvent(sampleEvent());
        m_srv->emitEvent(sampleEvent());
        QTRY_COMPARE(p1->msgs.size(), 2);
        QTRY_COMPARE(p2->msgs.size(), 2);
        QStringList serials;
        for (const auto &m : p1->msgs + p2->msgs)
            serials << m.value("a").toString();
        serials.sort();
        QCOMPARE(serials, (QStringList{"1", "2", "65533", "65534"}));
    }

    void wordIsTrimmedAndCaseFolded()
    {
        auto p = activePeer();
        QVERIFY(p);
        p->command(QStringLiteral("  getRemote "));
        QTRY_COMPARE(p->msgs.size(), 1);
        QCOMPARE(p->words(), QStringList{"RemoteFailed"});
        p->login(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral(" login"));
        QTRY_COMPARE(p->count("LogOK_Mulsys"), 1);
    }

    void unknownWordIsLoggedOnly()
    {
        auto p = activePeer();
        QVERIFY(p);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown command word.*FROBNICATE"));
        p->command(QStringLiteral("FROBNICATE"));
        p->command(QStringLiteral("GETREMOTE"));
        QTRY_COMPARE(p->msgs.size(), 1);
        // The reply to GETREMOTE is the first message: nothing answered the unknown word.
        QCOMPARE(p->msgs[0].value("a").toString(), QStringLiteral("1"));
        QVERIFY(m_srv->logs.contains(QStringLiteral("未知的客户端命令:FROBNICATE")));
    }

    void beatIsBareAndNeedsNoActivity()
    {
        m_srv->timing.heartbeatMs = 40;
        Peer p;
        QVERIFY(p.connectTo(m_srv->port(), QStringLiteral("127.0.0.2")));
        QTRY_COMPARE(m_srv->clients.size(), 1);
        m_srv->emitEvent(sampleEvent());
        QTRY_VERIFY(p.msgs.size() >= 2);
        // A connection that never spoke gets heartbeats and nothing else.
        QVERIFY(p.raw.startsWith("{\n    \"b\": \"BEAT\"\n}\n{\n    \"b\": \"BEAT\"\n}\n"));
        QCOMPARE(p.count("BEAT"), p.msgs.size());
    }

    // --- framing -----------------------------------------------------------

    void objectSplitOverThreeWrites()
    {
        auto p = activePeer();
        QVERIFY(p);
        const QByteArray whole = "{\"b\": \"GETREMOTE\", \"l\": \"a } { \\\" b\"}";
        const int third = whole.size() / 3;
        for (int i = 0; i < 3; ++i) {
            p->send(whole.mid(i * third, i == 2 ? -1 : third));
            QTRY_COMPARE(m_srv->reads[0], 2 + i);
        }
        QTRY_COMPARE(p->msgs.size(), 1);
        QCOMPARE(p->words(), QStringList{"RemoteFailed"});
    }

    void twoObjectsAndGarbageInOneWrite()
    {
        auto p = activePeer();
        QVERIFY(p);
        p->send(QByteArray("noise}]\n{\"b\":\"GETREMOTE\"}\r\n  xx ]} {\"b\":\"getremote\",\"m\":\"{\"}tail"));
        QTRY_COMPARE(p->msgs.size(), 2);
        QCOMPARE(p->count("RemoteFailed"), 2);
        QCOMPARE(m_srv->logs.count(QStringLiteral("客户端查询远程中心状态:未连接")), 2);
    }

    void unterminatedObjectOverTheCapIsDropped()
    {
        auto p = activePeer();
        QVERIFY(p);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unfinished JSON object passed 65536 bytes"));
        QByteArray flood = "{\"b\":\"GETREMOTE\",\"l\":";
        flood += QByteArray(70000, '7');
        p->send(flood);
        p->send(QByteArray("{\"b\":\"GETREMOTE\",\"m\":\"after\"}"));
        QTRY_COMPARE(p->msgs.size(), 1);
        QCOMPARE(p->words(), QStringList{"RemoteFailed"});
        QCOMPARE(m_srv->logs.count(QStringLiteral("客户端查询远程中心状态:未连接")), 1);
    }

    void malformedObjectIsLoggedAndSkipped()
    {
        auto p = activePeer();
        QVERIFY(p);
        // Logged without the password it may carry.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unparsable JSON object dropped(?!.*secret).*\\*{6}"));
        p->send(QByteArray("{\"b\": LOGIN, \"u\":\"secret\"}{\"b\":\"GETREMOTE\"}"));
        QTRY_COMPARE(p->msgs.size(), 1);
    }

    // --- delivery ----------------------------------------------------------

    void everyActiveConnectionGetsAllEventsInOrder()
    {
        auto p = activePeer(QStringLiteral("127.0.0.2"));
        QVERIFY(p);
        for (int i = 1; i <= 5; ++i) {
            CEvent e = sampleEvent();
            e.nAddress = i;
            m_srv->emitEvent(e);
        }
        m_srv->emitEvent(sampleEvent(), QStringLiteral("ALL"), 4);
        m_srv->emitEvent(sampleEvent(), QStringLiteral("ALL"), 2);
        m_srv->emitEvent(sampleEvent(), QStringLiteral("ALL"), 3);
        QTRY_COMPARE(p->msgs.size(), 7);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(p->msgs[i].value("b").toString(), QStringLiteral("NewEvent"));
            QCOMPARE(p->msgs[i].value("j").toInt(), i + 1);
        }
        // EventType 4 has no word and is not sent.
        QCOMPARE(p->words().mid(5), (QStringList{"RemoteOK", "RemoteFailed"}));
    }

    void addressedEventReachesOnlyItsUser()
    {
        auto alice = loggedInPeer(QStringLiteral("alice"));
        auto anon = activePeer();
        QVERIFY(alice && anon);
        const int before = alice->msgs.size();
        m_srv->emitEvent(sampleEvent(), QStringLiteral("alice"));
        m_srv->emitEvent(sampleEvent(), QStringLiteral("bob"));
        m_srv->emitEvent(sampleEvent(), QStringLiteral("ALL"));
        QTRY_COMPARE(anon->msgs.size(), 1);
        QTRY_COMPARE(alice->msgs.size(), before + 2);
        QCOMPARE(anon->msgs[0].value("a").toString().toInt(),
                 alice->msgs.last().value("a").toString().toInt() + 1);
    }

    void peerThatStopsReadingIsDropped()
    {
        QTcpSocket stuck;
        // Qt stops taking bytes from the kernel once one is unread.
        stuck.setReadBufferSize(1);
        stuck.connectToHost(QHostAddress(QHostAddress::LocalHost), m_srv->port());
        QVERIFY(stuck.waitForConnected(5000));
        QTRY_COMPARE(m_srv->clients.size(), 1);
        stuck.write("{\"b\":\"DATARECEIVED\"}");
        stuck.flush();
        QTRY_COMPARE(m_srv->reads[0], 1);
        QPointer<CClient> client = m_srv->clients[0];
        CEvent big = sampleEvent();
        big.strNote = QString(8000, QLatin1Char('x'));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("reads nothing;.*connection dropped"));
        // Bounded: kernel buffers plus the 8 MiB cap are far below 400 MB.
        for (int i = 0; i < 50000 && client && !client->isSilent(); ++i)
            m_srv->emitEvent(big);
        QVERIFY(client.isNull() || client->isSilent());
        QTRY_VERIFY(client.isNull());
    }

    void sentMessagesAreDescribedForTheConsole()
    {
        auto p = activePeer();
        QVERIFY(p);
        QSignalSpy sent(m_srv->clients[0].data(), &CClient::eEventSent2Client);
        m_srv->emitEvent(sampleEvent());
        QTRY_COMPARE(sent.size(), 1);
        QCOMPARE(sent[0][1].toString(), QStringLiteral("Com:3 PanelID:2 PanelType: Code:01020304 note:一楼大厅"));
    }

    // --- panel commands ----------------------------------------------------

    void setControlMappingFollowsIsControl()
    {
        auto p = loggedInPeer(QStringLiteral("alice"));
        QVERIFY(p);
        auto control = [&](int code) {
            p->send(QJsonObject{{"b", "SETCONTROL"}, {"d", 258 + 3}, {"g", code},
                                {"m", "0100"}, {"n", "0200"}, {"w", "why"}});
        };
        control(16);
        QTRY_VERIFY(m_srv->logs.last().contains(QStringLiteral("未启用控制")));
        QVERIFY(m_srv->commands.isEmpty());

        ServerContext::instance().isControl = true;
        for (int code : {16, 18, 11, 0x90, 0x8C, 0x30})
            control(code);
        QTRY_COMPARE(m_srv->logs.size(), 8);
        QCOMPARE(m_srv->commands.size(), 5);
        QList<int> codes;
        for (const CEvent &e : m_srv->commands)
            codes << e.nEventCode;
        QCOMPARE(codes, (QList<int>{0x89, 0x97, 0x94, 0x90, 0x8C}));
        const CEvent &start = m_srv->commands[3];
        QCOMPARE(int(start.nPanelID), 5); // 8 bits of 261
        QCOMPARE(start.strCode, QStringLiteral("0100"));
        QCOMPARE(start.strEndCode, QStringLiteral("0200"));
        QCOMPARE(start.strExtra, QStringLiteral("why"));
        QVERIFY(m_srv->logs.contains(QStringLiteral("控制器编号:5 发送客户端命令:消音")));
        QVERIFY(m_srv->logs.contains(QStringLiteral("控制器编号:5 发送客户端命令:启动 设备编号:0100-0200")));
        QVERIFY(m_srv->logs.last().contains(QStringLiteral("未知的控制命令:48")));
        QCOMPARE(p->count("NewEvent") + p->count("RemoteOK") + p->count("RemoteFailed"), 0);
    }

    void readValueFlipsTheSwitch()
    {
        auto p = loggedInPeer(QStringLiteral("alice"));
        QVERIFY(p);
        for (int k : {1, 0, 2})
            p->send(QJsonObject{{"b", "READVALUE"}, {"d", 4}, {"i", 2}, {"x", 9}, {"k", k}});
        p->send(QJsonObject{{"b", "readValueNow"}, {"k", 1}});
        p->send(QJsonObject{{"b", "READVALUESWITCH"}, {"d", 4}, {"e", 22}, {"i", 2}, {"x", 9}, {"k", 1}});
        p->command(QStringLiteral("SETTIME"));
        QTRY_COMPARE(m_srv->commands.size(), 6);
        QList<int> devTypes;
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(m_srv->commands[i].nEventCode, int(CmdReadValue));
            QCOMPARE(m_srv->commands[i].strNote, QStringLiteral("ReadValue"));
            devTypes << m_srv->commands[i].nDevType;
        }
        QCOMPARE(devTypes, (QList<int>{0, 1, 1, 0}));
        QCOMPARE(m_srv->commands[0].nLoop, 2);
        QCOMPARE(m_srv->commands[0].nChannel, 9);
        const CEvent &sw = m_srv->commands[4];
        QCOMPARE(sw.nEventCode, int(CmdReadValueSwitch));
        QCOMPARE(sw.nPanelType, 22);
        QCOMPARE(sw.nDevType, 1);
        CEvent setTime;
        setTime.nEventCode = CmdSyncTime;
        QCOMPARE(m_srv->commands[5], setTime);
    }

    void panelCommandsNeedALogin()
    {
        ServerContext::instance().isControl = true;
        auto p = activePeer();
        QVERIFY(p);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("SETCONTROL.*refused, not logged in"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("SETTIME.*refused, not logged in"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("READVALUE.*refused, not logged in"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("READVALUESWITCH.*refused, not logged in"));
        p->send(QJsonObject{{"b", "SETCONTROL"}, {"d", 1}, {"g", 11}});
        p->command(QStringLiteral("SETTIME"));
        p->send(QJsonObject{{"b", "READVALUE"}, {"k", 1}});
        p->command(QStringLiteral("READVALUESWITCH"));
        QTRY_COMPARE(m_srv->logs.size(), 4);
        for (const QString &l : qAsConst(m_srv->logs))
            QVERIFY2(l.startsWith(QStringLiteral("客户端未登录,拒绝执行命令:")), qPrintable(l));

        // Logged in it works; logged out it is refused again.
        p->login(QStringLiteral("alice"), QStringLiteral("pw"));
        QTRY_COMPARE(m_srv->states.size(), 1);
        p->command(QStringLiteral("SETTIME"));
        QTRY_COMPARE(m_srv->commands.size(), 1);
        p->login(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("LOGOUT"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("SETTIME.*refused, not logged in"));
        p->command(QStringLiteral("SETTIME"));
        QTRY_VERIFY(m_srv->logs.last().startsWith(QStringLiteral("客户端未登录")));
        QCOMPARE(m_srv->commands.size(), 1);
    }

    void resetWithoutControlResendsAfterTheFollowUp()
    {
        ServerContext::instance().bRemote = true;
        m_srv->timing.resetFollowUpMs = 30;
        auto p = loggedInPeer(QStringLiteral("alice"));
        QVERIFY(p);
        QTRY_COMPARE(p->words(), (QStringList{"LogOK_Mulsys", "RemoteFailed"}));
        ServerContext::instance().remoteLinkOk = true;
        p->send(QJsonObject{{"b", "SETCONTROL"}, {"g", 11}});
        QTRY_COMPARE(p->msgs.size(), 3);
        QCOMPARE(p->words().last(), QStringLiteral("RemoteOK"));
        QVERIFY(m_srv->commands.isEmpty());
    }
};

QTEST_MAIN(TestClientWire)
#include "tst_cclient_wire.moc"
