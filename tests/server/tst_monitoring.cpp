// Health and metrics of a live server in process, scraped with curl: the
// counters move when a simulated panel reports and a client logs in, the
// output is Prometheus text, and "/healthz" turns 503 when the settings
// database becomes unreadable or the main thread stops answering.

#include "common/clientpeer.h"
#include "common/httptestclient.h"
#include "common/sitekit.h"
#include "common/socatpair.h"
#include "common/testfiles.h"

#include "clients/cclient.h"
#include "clients/clientaccounts.h"
#include "config/controllerstore.h"
#include "core/servercontext.h"
#include "server/fireserver.h"
#include "server/monitoring.h"
#include "tools/sim/birchpanelsim.h"

#include <QRegularExpression>
#include <QtTest>

class TestMonitoring : public QObject
{
    Q_OBJECT
    SiteKit m_site;

    static double value(const QByteArray &text, const QString &sample)
    {
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith(sample.toUtf8() + ' '))
                return line.mid(sample.size() + 1).toDouble();
        }
        return -1;
    }

private slots:
    void liveSiteIsCountedAndChecked()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
            QSKIP("socat is not installed");
        m_site.useHere();
        QVERIFY(m_site.copyTables());
        SocatPair pair(m_site.path("ttyPanel"), m_site.path("ttySim"));
        QVERIFY(pair.start());
        QVERIFY(TestFiles::write(m_site.path("config.ini"),
                                 "[SerialPorts]\nCOM1=" + pair.a().toUtf8() + "\n"));
        ServerContext::instance().loadIni();
        QVERIFY(ControllerStore::openDatabase(QString()));
        QVERIFY(ControllerStore::insertController(1, QStringLiteral("一号\"主机\""), 22, QStringLiteral("1")));
        ControllerStore::closeDatabase();
        ClientAccounts::instance().clear();
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op"), QStringLiteral("pw"), QStringLiteral("Local")));
        BirchSimPort panel;
        panel.sim().setId(1);
        QVERIFY(panel.openDevice(pair.b()));

        FireServer::Options o = Site::freePorts();
        o.metricsPort = 0;
        FireServer server(o);
        QVERIFY(server.start());
        QVERIFY(server.monitoring());
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.monitoring()->port());
        const auto scrape = [&base](const char *path) { return HttpTest::curl({"-i", base + path}); };

        // Polls are counted as they happen.
        const QString answered = QStringLiteral("fireserver_controller_polls_total{controller=\"1\",result=\"answered\"}");
        QByteArray text;
        QTRY_VERIFY_WITH_TIMEOUT(value(text = HttpTest::bodyOf(scrape("/metrics").out), answered) >= 2, 10000);
        QCOMPARE(value(text, QStringLiteral("fireserver_clients_logged_in")), 0.0);
        QVERIFY(text.contains("fireserver_controller_info{controller=\"1\",name=\"一号\\\"主机\\\"\",type=\"22\","
                              "model=\"ControllerBirch\"} 1"));

        // Every line is a comment or a sample; every sample's family was announced.
        QSet<QByteArray> typed;
        static const QRegularExpression sampleLine(
            QStringLiteral("^([a-z_]+)(\\{([a-z_]+=\"([^\"\\\\]|\\\\.)*\",?)*\\})? -?[0-9.e+]+$"));
        for (const QByteArray &line : text.split('\n')) {
            if (line.isEmpty() || line.startsWith("# HELP "))
                continue;
            if (line.startsWith("# TYPE ")) {
                const QList<QByteArray> parts = line.split(' ');
                QVERIFY2(parts.size() == 4 && QList<QByteArray>({"counter", "gauge"}).contains(parts[3]), line);
                QVERIFY2(parts[2].startsWith("fireserver_") && (parts[3] != "counter" || parts[2].endsWith("_total")), line);
                typed.insert(parts[2]);
                continue;
            }
            const QRegularExpressionMatch m = sampleLine.match(QString::fromUtf8(line));
            QVERIFY2(m.hasMatch(), line.constData());
            QVERIFY2(typed.contains(m.captured(1).toUtf8()), line.constData());
        }

        // A client logs in and the panel reports a fire alarm.
        ClientPeer client;
        QVERIFY(client.logIn(server.clientListener()->serverPort(), QStringLiteral("op"), QStringLiteral("pw")));
        panel.sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QTRY_VERIFY_WITH_TIMEOUT(
            value(text = HttpTest::bodyOf(scrape("/metrics").out), QStringLiteral("fireserver_dispatcher_delivered_events_total")) >= 1,
            10000);
        // The login completes after its reply pause, which the reply itself does not wait for.
        QTRY_COMPARE(value(text = HttpTest::bodyOf(scrape("/metrics").out), QStringLiteral("fireserver_clients_logged_in")), 1.0);
        QVERIFY(value(text, QStringLiteral("fireserver_controller_events_total{controller=\"1\"}")) >= 1);
        QCOMPARE(value(text, QStringLiteral("fireserver_controller_communication{controller=\"1\"}")), 1.0);

        // Healthy; then the settings database is damaged under the server.
        HttpTest::CurlResult health = scrape("/healthz");
        QVERIFY2(health.out.startsWith("HTTP/1.1 200"), health.out.constData());
        QCOMPARE(HttpTest::bodyOf(health.out), QByteArray("ok\n"));
        QFile db(m_site.path("KelServerSet.db"));
        QVERIFY(db.open(QIODevice::ReadWrite));
        db.write(QByteArray(100, 'x'));
        db.close();
        health = scrape("/healthz");
        QVERIFY2(health.out.startsWith("HTTP/1.1 503"), health.out.constData());
        QVERIFY(HttpTest::bodyOf(health.out).startsWith("settings database"));

        // A main thread that does not answer is the problem itself: curl is
        // run here without letting the event loop turn.
        server.monitoring()->setAnswerTimeoutMs(200);
        QProcess blocked;
        blocked.start(QStringLiteral("curl"), {"-s", "-i", "--max-time", "10", base + "/healthz"});
        QVERIFY(blocked.waitForFinished(15000));
        const QByteArray stalled = blocked.readAll();
        QVERIFY2(stalled.startsWith("HTTP/1.1 503"), stalled.constData());
        QVERIFY(stalled.contains("did not answer within 200 ms"));
        server.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestMonitoring)
#include "tst_monitoring.moc"
