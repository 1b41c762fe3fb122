// The server object's centre service in process, on free ports: a real
// client program hears "RemoteOK" when a centre connects and "RemoteFailed"
// once none has been connected for the check period.

#include "common/centrepeer.h"

#include "clients/cclient.h"
#include "clients/clientaccounts.h"
#include "core/apppaths.h"
#include "server/fireserver.h"

#include <QTemporaryDir>
#include <QtTest>

class TestFireServerRemote : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void clientsHearTheCentreLinkState()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        FireServer::Options o;
        o.clientPort = o.centrePort = o.queryPort = 0;
        o.centre.idleMs = 100;
        o.centre.failureCheckMs = 500;
        o.centre.failureGuardMs = 490;
        FireServer server(o);
        QVERIFY(server.start());
        QVERIFY(server.remoteSearch()->isListening());

        // A logged-in client receives what is sent to all.
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op"), QStringLiteral("pw"), QStringLiteral("Local")));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.clientListener()->serverPort());
        QTRY_COMPARE(server.clients().size(), 1);
        client.write("{\"b\": \"LOGIN\", \"t\": \"op\", \"u\": \"pw\"}");
        QTRY_VERIFY(server.clients().first()->isLoggedIn());

        QByteArray heard;
        auto centre = std::make_unique<CentrePeer>();
        QVERIFY(centre->connectTo(server.remoteServer()->serverPort()));
        QTRY_VERIFY((heard += client.readAll()).contains("\"b\": \"RemoteOK\""));
        QVERIFY(ServerContext::instance().remoteLinkOk);
        centre.reset();
        QTRY_VERIFY_WITH_TIMEOUT((heard += client.readAll()).contains("\"b\": \"RemoteFailed\""), 10000);
        QVERIFY(!ServerContext::instance().remoteLinkOk);
        server.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestFireServerRemote)
#include "tst_fireserver_remote.moc"
