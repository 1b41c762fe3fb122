// The gateways as the server object builds them from config.ini: a Modbus
// report travels through the real dispatcher into the cloud upload and out
// to a recorder; switches that are not exactly 1, or a cloud without an
// address, build nothing. Every port is a free one.

#include "core/apppaths.h"
#include "server/fireserver.h"
#include "tools/sim/cloudrecorder.h"

#include <QUdpSocket>
#include <QtTest>

class TestGatewayWiring : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    CloudRecorder m_recorder;

    void writeIni(const QByteArray &server)
    {
        QFile ini(m_dir.filePath("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[Server]\n" + server);
        ini.close();
        ServerContext::instance().loadIni(ini.fileName());
    }

    static FireServer::Options options()
    {
        FireServer::Options o;
        o.clientPort = 0;
        o.centrePort = 0;
        o.queryPort = 0;
        o.modbusPort = 0;
        o.cloud.tickMs = 0;
        return o;
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"EventConfig.xml", "SysSet.xml"})
            QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/") + name, m_dir.filePath(name)));
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(m_recorder.listen());
    }

    void switchesNotOneOrNoAddressBuildNothing()
    {
        writeIni("isHaveModbus=2\nisHaveHttp=1\nhttpIP=\n");
        FireServer server(options());
        server.start();
        QVERIFY(!server.modbusDevice());
        QVERIFY(!server.cloudClient());
    }

    void modbusReportReachesTheCloudThroughTheDispatcher()
    {
        writeIni("isHaveModbus=1\nisHaveHttp=1\nhttpIP=" + m_recorder.address().toUtf8() + "\nHttpSubname=site\n"
                 "HttpUsername=u\nHttpPassword=p\nHttpSign=k\n");
        FireServer server(options());
        server.start();
        QVERIFY(server.modbusDevice() && server.modbusDevice()->isBound());
        CHttpClient *cloud = server.cloudClient();
        QVERIFY(cloud);
        QVERIFY(cloud->journal().isPersistent());
        QCOMPARE(cloud->journal().path(), m_dir.filePath("CloudJournal.db"));

        // Type 2 is raw code 3, which the sample table numbers 7 (fault);
        // type 3 is its restore. The restore follows once the report has been
        // delivered, or the dispatcher would cancel the pair while both wait.
        QUdpSocket out;
        const quint16 port = server.modbusDevice()->localPort();
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
        QVERIFY(!server.cloudClient());
    }
};

QTEST_GUILESS_MAIN(TestGatewayWiring)
#include "tst_gatewaywiring.moc"
