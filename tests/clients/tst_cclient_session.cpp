// Client sessions over loopback: the login decision with its replies and
// log texts, logout, the backlog after login, disconnection and the
// heartbeat time-out.

#include "clientfixture.h"

#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QtTest>

class TestClientSession : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<ClientServer> m_srv;

    std::unique_ptr<Peer> peer(const QString &from = QStringLiteral("127.0.0.1"))
    {
        auto p = std::make_unique<Peer>();
        const int index = m_srv->clients.size();
        if (!p->connectTo(m_srv->port(), from))
            return nullptr;
        if (!QTest::qWaitFor([&]() { return m_srv->clients.size() > index; }, 5000))
            return nullptr;
        return p;
    }

    // One tracked class: present events of distinct devices stay active.
    bool loadEventTable()
    {
        const QString path = m_dir.filePath(QStringLiteral("EventConfig.xml"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><EventType>"
                "<DevEvent EventData=\"1\"><Ev ComData=\"1\" EventData=\"1203\" EventProperty=\"1\"/></DevEvent>"
                "</EventType></Config>\n");
        f.close();
        return ConfigTables::instance().loadEventTable(path);
    }

    static CEvent fire(const QString &strCode)
    {
        CEvent e;
        e.nCom = 1;
        e.nPanelID = 1;
        e.nEventCode = 1;
        e.nEventProperty = 1;
        e.strCode = strCode;
        return e;
    }

    static ClientAccount account(const char *name)
    {
        return ClientAccounts::instance().account(QString::fromLatin1(name));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(loadEventTable());
    }

    void init()
    {
        ServerContext &ctx = ServerContext::instance();
        ctx.isControl = false;
        ctx.bRemote = false;
        ctx.remoteLinkOk = false;
        ctx.isHaveUserType = false;
        ctx.eventsWithoutLogin = false;
        ClientAccounts &acc = ClientAccounts::instance();
        acc.clear();
        acc.addAccount(QStringLiteral("alice"), QStringLiteral("Secret"), QStringLiteral("Local"));
        acc.addAccount(QStringLiteral("rem"), QStringLiteral("pw"), QStringLiteral("Remote"));
        CClient::resetSequence(0);
        m_srv = std::make_unique<ClientServer>();
        m_srv->timing.heartbeatMs = 60000;
        m_srv->timing.loginPauseMs = 20;
        QVERIFY(m_srv->listen());
    }

    void cleanup() { m_srv.reset(); }

    void failedLoginsReplyAndLog()
    {
        auto p = peer();
        QVERIFY(p);
        p->login(QStringLiteral("nobody"), QStringLiteral("Secret"));
        QTRY_COMPARE(p->msgs.size(), 1);
        p->login(QStringLiteral("alice"), QStringLiteral("secret")); // case matters
        QTRY_COMPARE(p->msgs.size(), 2);
        QCOMPARE(p->words(), (QStringList{"LogFailed", "LogFailed"}));
        QCOMPARE(p->keys(0), (QStringList{"a", "b", "v"}));
        QCOMPARE(p->msgs[0].value("v").toString(), QStringLiteral("FAILED"));
        QCOMPARE(m_srv->logs, (QStringList{QStringLiteral("客户端登录失败,用户名错误!"),
                                           QStringLiteral("客户端登录失败,密码错误!")}));
        QVERIFY(m_srv->states.isEmpty());
        QVERIFY(!account("alice").isLoggedIn);
    }

    void successThenRemoteStateThenOwnership()
    {
        ServerContext::instance().bRemote = true;
        auto p = peer();
        QVERIFY(p);
        QSignalSpy sent(m_srv->clients[0].data(), &CClient::eEventSent2Client);
        p->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(p->msgs.size(), 2);
        QCOMPARE(p->words(), (QStringList{"LogOK_Mulsys", "RemoteFailed"}));
        QCOMPARE(m_srv->states, (QList<QPair<QString, int>>{{"alice", 1}}));
        QCOMPARE(m_srv->logs, QStringList{QStringLiteral("客户端登录成功!")});
        QCOMPARE(m_srv->clients[0]->userName(), QStringLiteral("alice"));
        QVERIFY(account("alice").isLoggedIn);
        QVERIFY(account("alice").isConnected);
        QCOMPARE(sent.size(), 1); // LogOK_Mulsys has a display text, RemoteFailed none

        // With the link up the reply is RemoteOK.
        ServerContext::instance().remoteLinkOk = true;
        auto q = peer();
        QVERIFY(q);
        q->login(QStringLiteral("rem"), QStringLiteral("pw"));
        QTRY_COMPARE(q->words(), (QStringList{"LogOK_Mulsys", "RemoteOK"}));

        // The same account from a second connection is refused.
        auto r = peer();
        QVERIFY(r);
        r->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(r->words(), QStringList{"LogFailed"});
        QCOMPARE(m_srv->logs.last(), QStringLiteral("客户端已经登录,请选择登录其他的客户端!"));
    }

    void repliesKeepTheirOrderAcrossTheLoginPause()
    {
        ServerContext::instance().bRemote = true;
        ServerContext::instance().remoteLinkOk = true;
        m_srv->timing.loginPauseMs = 150;
        auto p = peer();
        auto other = peer();
        QVERIFY(p && other);
        // LOGIN and GETREMOTE in one write: the second command waits for the login.
        p->send(QByteArray("{\"b\":\"LOGIN\",\"t\":\"alice\",\"u\":\"Secret\"}{\"b\":\"GETREMOTE\"}"));
        QTRY_COMPARE(p->msgs.size(), 1);
        // Taken at once: a login elsewhere during the pause is refused.
        other->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(other->words(), QStringList{"LogFailed"});
        QTRY_COMPARE(p->msgs.size(), 3);
        QCOMPARE(p->words(), (QStringList{"LogOK_Mulsys", "RemoteOK", "RemoteOK"}));
        QCOMPARE(m_srv->logs.last(), QStringLiteral("客户端查询远程中心状态:已连接"));
    }

    void userTypesTieAccountsToAddresses()
    {
        ServerContext::instance().isHaveUserType = true;
        auto localRemote = peer();
        auto farLocal = peer(QStringLiteral("127.0.0.2"));
        QVERIFY(localRemote && farLocal);
        // Mismatches get no reply at all; GETREMOTE proves nothing came before it.
        localRemote->login(QStringLiteral("rem"), QStringLiteral("pw"));
        localRemote->command(QStringLiteral("GETREMOTE"));
        farLocal->login(QStringLiteral("alice"), QStringLiteral("wrong password too"));
        farLocal->command(QStringLiteral("GETREMOTE"));
        QTRY_COMPARE(localRemote->msgs.size(), 1);
        QTRY_COMPARE(farLocal->msgs.size(), 1);
        QCOMPARE(localRemote->words(), QStringList{"RemoteFailed"});
        QCOMPARE(farLocal->words(), QStringList{"RemoteFailed"});
        QCOMPARE(m_srv->logs.count(QStringLiteral("用户类型不匹配!")), 2);

        auto farRemote = peer(QStringLiteral("127.0.0.2"));
        auto nearLocal = peer();
        QVERIFY(farRemote && nearLocal);
        farRemote->login(QStringLiteral("rem"), QStringLiteral("pw"));
        nearLocal->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(farRemote->words(), QStringList{"LogOK_Mulsys"});
        QTRY_COMPARE(nearLocal->words(), QStringList{"LogOK_Mulsys"});
    }

    void logoutAndDisconnection()
    {
        auto p = peer();
        QVERIFY(p);
        p->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(m_srv->states.size(), 1);
        p->login(QStringLiteral("nobody"), QString(), QStringLiteral("LOGOUT"));
        p->login(QStringLiteral("alice"), QString(), QStringLiteral("LOGOUT"));
        QTRY_COMPARE(p->msgs.size(), 2);
        QCOMPARE(p->words(), (QStringList{"LogOK_Mulsys", "LogOutOK"}));
        QCOMPARE(m_srv->states.last(), qMakePair(QStringLiteral("alice"), 0));
        QCOMPARE(m_srv->logs.last(), QStringLiteral("客户端登出成功!"));
        QVERIFY(!account("alice").isLoggedIn);
        QVERIFY(!account("alice").isConnected);
        // Logged out, the connection holds no login: its events stop (the
        // GETREMOTE reply arrives, the event before it does not).
        QCOMPARE(m_srv->clients[0]->userName(), QStringLiteral("alice"));
        m_srv->emitEvent(CEvent(), QStringLiteral("alice"));
        p->command(QStringLiteral("GETREMOTE"));
        QTRY_COMPARE(p->msgs.size(), 3);
        QCOMPARE(p->words().last(), QStringLiteral("RemoteFailed"));

        // Log in again, then close: the account is released.
        p->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_VERIFY(account("alice").isLoggedIn);
        QTRY_COMPARE(m_srv->states.size(), 3);
        QPointer<CClient> client = m_srv->clients[0];
        p->socket.disconnectFromHost();
        QTRY_VERIFY(client.isNull());
        QCOMPARE(m_srv->states.last(), qMakePair(QStringLiteral("alice"), 0));
        QCOMPARE(m_srv->logs.last(), QStringLiteral("客户端退出!"));
        QVERIFY(!account("alice").isLoggedIn);
    }

    void eventsOnlyForLoginsAndGuessingIsSlowed()
    {
        // A wrong password, then an alarm: the peer that failed gets nothing,
        // the one that logged in gets it.
        auto guesser = peer(QStringLiteral("127.0.0.2"));
        auto op = peer();
        QVERIFY(guesser && op);
        guesser->login(QStringLiteral("alice"), QStringLiteral("wrong"));
        QTRY_COMPARE(guesser->count("LogFailed"), 1);
        op->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(m_srv->states.size(), 1);
        m_srv->emitEvent(CEvent());
        QTRY_COMPARE(op->count("NewEvent"), 1);
        guesser->command(QStringLiteral("GETREMOTE"));
        QTRY_COMPARE(guesser->msgs.size(), 2);
        QCOMPARE(guesser->count("NewEvent"), 0);

        // Ten failures within a minute: from that address even the right
        // password is refused unchecked; another address is not affected.
        qint64 now = 1000000;
        ClientAccounts::instance().throttle().setClock([&now] { return now; });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("10 failed logins from 127.0.0.2"));
        for (int i = 0; i < 9; ++i)
            guesser->login(QStringLiteral("rem"), QStringLiteral("wrong"));
        QTRY_COMPARE(guesser->count("LogFailed"), 10);
        guesser->login(QStringLiteral("rem"), QStringLiteral("pw"));
        QTRY_COMPARE(guesser->count("LogFailed"), 11);
        auto other = peer(QStringLiteral("127.0.0.3"));
        QVERIFY(other);
        other->login(QStringLiteral("rem"), QStringLiteral("pw"));
        QTRY_COMPARE(other->count("LogOK_Mulsys"), 1);
        other->login(QStringLiteral("rem"), QStringLiteral("pw"), QStringLiteral("LOGOUT"));
        QTRY_COMPARE(other->count("LogOutOK"), 1);
        now += 30001;
        guesser->login(QStringLiteral("rem"), QStringLiteral("pw"));
        QTRY_COMPARE(guesser->count("LogOK_Mulsys"), 1);
        ClientAccounts::instance().throttle().setClock(nullptr);
    }

    void connectionWithoutLoginIsClosedAtItsDeadline()
    {
        m_srv->timing.loginDeadlineMs = 50;
        m_srv->timing.heartbeatMs = 60000;
        auto p = peer();
        QVERIFY(p);
        QPointer<CClient> idle = m_srv->clients[0];
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("did not log in within"));
        QTRY_VERIFY(idle.isNull());
        // Logged in in time, the connection outlives its deadline (a
        // negative check: three deadlines pass).
        m_srv->timing.loginDeadlineMs = 100;
        auto q = peer();
        QVERIFY(q);
        q->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(m_srv->states.size(), 1);
        QTest::qWait(300);
        QVERIFY(!m_srv->clients.last().isNull());
    }

    void closingDuringTheLoginPauseReleasesTheAccount()
    {
        m_srv->timing.loginPauseMs = 5000;
        auto p = peer();
        QVERIFY(p);
        p->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(p->msgs.size(), 1);
        QVERIFY(account("alice").isLoggedIn);
        QPointer<CClient> client = m_srv->clients[0];
        p->socket.abort();
        QTRY_VERIFY(client.isNull());
        QVERIFY(!account("alice").isLoggedIn);
        auto q = peer();
        QVERIFY(q);
        q->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(q->words(), QStringList{"LogOK_Mulsys"});
    }

    void staleConnectionDoesNotLogOutANewerSession()
    {
        auto first = peer();
        QVERIFY(first);
        first->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE(m_srv->states.size(), 1);
        first->login(QStringLiteral("alice"), QString(), QStringLiteral("LOGOUT"));
        QTRY_COMPARE(first->msgs.size(), 2);
        auto second = peer();
        QVERIFY(second);
        second->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_VERIFY(m_srv->clients[1]->isLoggedIn());
        QPointer<CClient> stale = m_srv->clients[0];
        first->socket.disconnectFromHost();
        QTRY_VERIFY(stale.isNull());
        QVERIFY(account("alice").isLoggedIn);
        QVERIFY(m_srv->clients[1]->isLoggedIn());
    }

    void backlogFollowsTheLoginOneEvery100Ms()
    {
        CEventProcess &d = m_srv->dispatcher;
        for (int i = 1; i <= 4; ++i)
            d.handleEvent(fire(QStringLiteral("0000000%1").arg(i)).toVariant());
        const QList<CEvent> active = d.currentEvents();
        QCOMPARE(active.size(), 4);

        auto p = peer();
        QVERIFY(p);
        QList<qint64> arrivals;
        QElapsedTimer clock;
        QObject::connect(&p->socket, &QTcpSocket::readyRead, &p->socket, [&]() {
            while (arrivals.size() < p->msgs.size())
                arrivals << clock.elapsed();
        });
        clock.start();
        p->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_COMPARE_WITH_TIMEOUT(p->msgs.size(), 5, 10000);
        QCOMPARE(p->words(), (QStringList{"LogOK_Mulsys", "NewEvent", "NewEvent", "NewEvent", "NewEvent"}));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(p->msgs[i + 1].value("m").toString(), active[i].strCode);
            QCOMPARE(p->msgs[i + 1].value("g").toInt(), 1203);
            QCOMPARE(p->msgs[i + 1].value("f").toInt(), 1);
        }
        // Paced by the 100 ms timer, not sent at once: the fourth event comes
        // about 400 ms after the login reply (10 % allowed for timer slack).
        QVERIFY2(arrivals[4] - arrivals[0] >= 360,
                 qPrintable(QStringLiteral("backlog took %1 ms").arg(arrivals[4] - arrivals[0])));
    }

    void silentFarPeerIsDroppedAfterTheFourthTick()
    {
        m_srv->timing.heartbeatMs = 40;
        auto near = peer();
        QVERIFY(near);
        near->login(QStringLiteral("rem"), QStringLiteral("pw"));
        auto far = peer(QStringLiteral("127.0.0.2"));
        QVERIFY(far);
        QPointer<CClient> farClient = m_srv->clients[1];
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("silent for 4 heartbeats"));
        far->login(QStringLiteral("alice"), QStringLiteral("Secret"));
        QTRY_VERIFY(account("alice").isLoggedIn);
        QTRY_COMPARE_WITH_TIMEOUT(far->socket.state(), QAbstractSocket::UnconnectedState, 10000);
        QTRY_VERIFY(farClient.isNull());
        // The tick after the login replies finds the link busy, the next
        // three find it idle; the fourth tick since the login drops it.
        const QStringList words = far->words();
        QCOMPARE(words.mid(words.indexOf(QStringLiteral("LogOK_Mulsys")) + 1),
                 (QStringList{"BEAT", "BEAT", "BEAT"}));
        QVERIFY(!account("alice").isLoggedIn);
        QVERIFY(m_srv->states.contains(qMakePair(QStringLiteral("alice"), 0)));
        // The local peer has no heartbeat at all.
        QCOMPARE(near->socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(near->count("BEAT"), 0);
        QVERIFY(!m_srv->clients[0].isNull());
    }

    void answeringPeerStaysConnected()
    {
        m_srv->timing.heartbeatMs = 30;
        auto far = peer(QStringLiteral("127.0.0.2"));
        QVERIFY(far);
        QObject::connect(&far->socket, &QTcpSocket::readyRead, &far->socket,
                         [&]() { far->command(QStringLiteral("DATARECEIVED")); });
        QTRY_VERIFY_WITH_TIMEOUT(far->count("BEAT") >= 8, 10000);
        QCOMPARE(far->socket.state(), QAbstractSocket::ConnectedState);
    }
};

QTEST_MAIN(TestClientSession)
#include "tst_cclient_session.moc"
