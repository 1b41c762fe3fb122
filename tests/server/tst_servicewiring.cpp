// The services as the server object builds and wires them, in process on
// free ports: a Modbus report travels through the real dispatcher into the
// cloud upload and out to a recorder; an NB-IoT alarm posted with curl
// reaches the dispatcher before the event log view; switches that are not
// exactly 1, or a cloud without an address, build nothing; a logged-in
// client hears "RemoteOK" when a centre connects and "RemoteFailed" once
// none has been connected for the check period.

#include "clients/cclient.h"
#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "common/centrepeer.h"
#include "common/httptestclient.h"
#include "common/clientpeer.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "core/apppaths.h"
#include "gateways/nbdevice.h"
#include "server/centreservice.h"
#include "server/cloudservice.h"
#include "server/fireserver.h"
#include "server/modbusservice.h"
#include "server/nbiotservice.h"
#include "tools/sim/cloudrecorder.h"

#include <QUdpSocket>
#include <QtTest>

class EventLogView : public QObject
{
    Q_OBJECT
public:
    QSignalSpy *dispatched = nullptr;
    QList<int> dispatchedBefore; // per logged event: dispatcher events seen by then
public slots:
    void slotShowEventLog(const CEvent &) { dispatchedBefore << dispatched->count(); }
};

class TestServiceWiring : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    CloudRecorder m_recorder;

    void writeIni(const QByteArray &server)
    {
        QVERIFY(TestFiles::write(m_dir.filePath("config.ini"), "[Server]\n" + server));
        ServerContext::instance().loadIni(m_dir.filePath("config.ini"));
    }

    static FireServer::Options options()
    {
        FireServer::Options o = Site::freePorts();
        o.cloud.tickMs = 0;
        return o;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Site::copyTables(m_dir.path()));
        QVERIFY(TestFiles::write(m_dir.filePath("httpConfig.ini"), "[listener]\nhost=127.0.0.1\nport=0\n"));
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(m_recorder.listen());
    }

    void switchesNotOneOrNoAddressBuildNothing()
    {
        writeIni("isHaveModbus=2\nisHaveNB=2\nisHaveHttp=1\nhttpIP=\n");
        FireServer server(options());
        server.start();
        QVERIFY(!server.service<ModbusService>() && !server.service<CloudService>() && !server.service<NbIotService>());
    }

    void modbusReportReachesTheCloudThroughTheDispatcher()
    {
        writeIni("isHaveModbus=1\nisHaveHttp=1\nhttpIP=" + m_recorder.address().toUtf8() + "\nHttpSubname=site\n"
                 "HttpUsername=u\nHttpPassword=p\nHttpSign=k\n");
        FireServer server(options());
        server.start();
        QVERIFY(server.service<ModbusService>() && server.service<ModbusService>()->device()->isBound());
        QVERIFY(server.service<CloudService>());
        CHttpClient *cloud = server.service<CloudService>()->client();
        QVERIFY(cloud->journal().isPersistent());
        QCOMPARE(cloud->journal().path(), m_dir.filePath("CloudJournal.db"));

        // Type 2 is raw code 3, which the sample table numbers 7 (fault);
        // type 3 is its restore. The restore follows once the report has been
        // delivered, or the dispatcher would cancel the pair while both wait.
        QUdpSocket out;
        const quint16 port = server.service<ModbusService>()->device()->localPort();
        out.writeDatagram("{\"msg\":\"ABCDEF012XYZ\",\"type\":2}", QHostAddress::LocalHost, port);
        QTRY_COMPARE(cloud->pendingCount(), 1);
        out.writeDatagram("{\"msg\":\"ABCDEF012XYZ\",\"type\":3}", QHostAddress::LocalHost, port);
        QTRY_COMPARE(cloud->pendingCount(), 2);

        QSignalSpy done(cloud, &CHttpClient::batchFinished);
        cloud->tick();
        QVERIFY(done.wait());
        const CloudRecorder::Post &post = m_recorder.posts().last();
        QCOMPARE(post.headers.value("x-sub-name"), QByteArray("site"));
        const QJsonArray records = QJsonDocument::fromJson(post.body).array();
        QCOMPARE(records.size(), 2);
        QStringList words;
        for (const QJsonValue &v : records) {
            QJsonObject o = v.toObject();
            words << o.value("eve_type").toString();
            QVERIFY(o.take("eve_time").isDouble());
            o.remove("eve_type");
            QCOMPARE(o, (QJsonObject{{"dev_id", "ABCDEF012XYZ"}, {"dev_type", 69}, {"dev_info", ""}}));
        }
        QCOMPARE(words, (QStringList{"fault", "fault_restore"}));
        server.shutdown();
        QVERIFY(!server.service<CloudService>()->client());
        // The dispatcher outlives the shutdown for a moment (its pacing still
        // runs): what it delivers then must not reach the stopped services.
        CEvent late;
        late.nEventCode = 3;
        late.nEventProperty = 1;
        late.strCode = QStringLiteral("LATE");
        server.dispatcher()->handleEvent(late);
        while (server.dispatcher()->waitingCount() > 0)
            server.dispatcher()->tick();
    }

    void nbIotAlarmIsDispatchedBeforeItIsLogged()
    {
        writeIni("isHaveNB=1\n");
        FireServer server(options());
        EventLogView view;
        server.start(&view);
        QVERIFY(server.service<NbIotService>() && server.service<NbIotService>()->device()->serverPort());
        QSignalSpy dispatched(server.dispatcher(), &CEventProcess::receiveEvent);
        view.dispatched = &dispatched;
        const HttpTest::CurlResult r = HttpTest::curl(
            {"--data-binary", "@" FIRE_SOURCE_DIR "/tools/nbiot/dev_alarm.json",
             QStringLiteral("http://127.0.0.1:%1/postData").arg(server.service<NbIotService>()->device()->serverPort())});
        QCOMPARE(r.out, QByteArray("{\"err_code\":0,\"err_msg\":\"\"}"));
        QTRY_COMPARE(view.dispatchedBefore, QList<int>{1});
        QCOMPARE(CEvent::fromVariant(dispatched.first().at(0)).strCode, QStringLiteral("863703030512345"));
        server.shutdown();
        QVERIFY(!server.service<NbIotService>()->device());
    }

    // Without httpConfig.ini the server starts all the same, and says why.
    void nbIotWithoutItsConfigFile()
    {
        QVERIFY(QFile::remove(m_dir.filePath("httpConfig.ini")));
        writeIni("isHaveNB=1\n");
        LogCapture log;
        FireServer server(options());
        server.start();
        QVERIFY(server.isRunning() && server.clientListener()->isListening());
        QCOMPARE(server.service<NbIotService>()->device()->serverPort(), quint16(0));
        QCOMPARE(log.count(m_dir.path() + "/httpConfig.ini not found"), 1);
        QCOMPARE(log.count("Cannot find config file httpConfig.ini"), 1);
    }

    void clientsHearTheCentreLinkState()
    {
        writeIni(QByteArray());
        FireServer::Options o = options();
        o.centre.idleMs = 100;
        o.centre.failureCheckMs = 500;
        o.centre.failureGuardMs = 490;
        FireServer server(o);
        QVERIFY(server.start());
        QVERIFY(server.service<CentreService>()->remoteSearch()->isListening());
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op"), QStringLiteral("pw"), QStringLiteral("Local")));
        ClientPeer client;
        QVERIFY(client.logIn(server.clientListener()->serverPort(), QStringLiteral("op"), QStringLiteral("pw")));

        auto centre = std::make_unique<CentrePeer>();
        QVERIFY(centre->connectTo(server.service<CentreService>()->remoteServer()->serverPort()));
        QTRY_VERIFY(client.count("RemoteOK") == 1);
        QVERIFY(ServerContext::instance().remoteLinkOk);
        centre.reset();
        QTRY_COMPARE_WITH_TIMEOUT(client.count("RemoteFailed"), 1, 10000);
        QVERIFY(!ServerContext::instance().remoteLinkOk);
        server.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestServiceWiring)
#include "tst_servicewiring.moc"
