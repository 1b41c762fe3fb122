// The server object's centre and query services, in process on free ports:
// a real client hears of the centre link, a panel event reaches a centre,
// and a taken centre port stops the start-up.

#include "common/centrepeer.h"

#include "clients/cclient.h"
#include "core/apppaths.h"
#include "core/prompt.h"
#include "panels/cpanelmanager.h"
#include "server/fireserver.h"

#include <QTemporaryDir>
#include <QtTest>

class TestFireServerRemote : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QList<Prompt::Request> m_prompts;

    static FireServer::Options freePorts()
    {
        FireServer::Options o;
        o.clientPort = 0;
        o.centrePort = 0;
        o.queryPort = 0;
        return o;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        writeRemoteEventTable(m_dir.path());
        Prompt::setHandler([this](const Prompt::Request &r) {
            m_prompts << r;
            return r.defaultAnswer;
        });
    }

    void cleanupTestCase()
    {
        Prompt::setHandler({});
    }

    void centreLinkReachesClientsAndEventsReachTheCentre()
    {
        FireServer::Options o = freePorts();
        o.centre.idleMs = 100;
        o.centre.failureCheckMs = 500;
        o.centre.failureGuardMs = 490;
        FireServer server(o);
        QVERIFY(server.start());
        QVERIFY(server.remoteSearch()->isListening());

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.clientListener()->serverPort());
        QTRY_COMPARE(server.clients().size(), 1);
        client.write("{\"b\": \"DATARECEIVED\"}");
        QTRY_VERIFY(!server.clients().first()->isSilent());

        QByteArray heard;
        auto centre = std::make_unique<CentrePeer>();
        QVERIFY(centre->connectTo(server.remoteServer()->serverPort()));
        QTRY_VERIFY((heard += client.readAll()).contains("\"b\": \"RemoteOK\""));
        QVERIFY(ServerContext::instance().remoteLinkOk);

        CEvent e;
        e.nPanelID = 4;
        e.nPanelType = 40;
        e.nEventType = 1;
        e.nEventCode = 21;
        e.strCode = QStringLiteral("00010203");
        emit server.panelManager()->sendEvent(e.toVariant());
        QTRY_COMPARE(centre->lines().size(), 1);
        QVERIFY(centre->lines().first().startsWith(QStringLiteral("DeviceData||气体灭火系统||气体灭火系统4设备00010203:火警||")));
        QVERIFY(centre->lines().first().endsWith(QStringLiteral("||127.0.0.1||4||0")));

        centre.reset();
        QTRY_VERIFY_WITH_TIMEOUT((heard += client.readAll()).contains("\"b\": \"RemoteFailed\""), 10000);
        QVERIFY(!ServerContext::instance().remoteLinkOk);
        server.shutdown();
    }

    void takenCentrePortMeansAnotherServer()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        FireServer::Options o = freePorts();
        o.centrePort = holder.serverPort();
        m_prompts.clear();
        FireServer server(o);
        QVERIFY(!server.start());
        QVERIFY(!server.isRunning());
        QVERIFY(!server.panelManager());
        QCOMPARE(m_prompts.size(), 1);
        QCOMPARE(m_prompts.first().icon, Prompt::Critical);
        QCOMPARE(m_prompts.first().title, QStringLiteral("提示"));
        QCOMPARE(m_prompts.first().text, QStringLiteral("不能同时运行两个实例，可能系统已经运行."));
        server.shutdown(); // nothing to do, and no crash
    }
};

QTEST_GUILESS_MAIN(TestFireServerRemote)
#include "tst_fireserver_remote.moc"
