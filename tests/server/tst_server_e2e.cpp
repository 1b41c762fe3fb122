// FIXED_PORTS_TEST: the real executable on a temporary site, with a simulated
// ControllerBirch panel on a socat pair, fire-client as the client,
// fire-centre as the centre and a Mosquitto broker of the test's own.
#include "clients/clientaccounts.h"
#include "common/sitekit.h"
#include "common/socatpair.h"
#include "common/testfiles.h"
#include "tools/sim/birchpanelsim.h"
#include "tools/sim/mosquittobroker.h"
#include "tools/sim/mqttprobe.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace {
const QString kCentre = QStringLiteral(FIRE_BINARY_DIR "/fire-centre");
} // namespace

class TestServerEndToEnd : public QObject
{
    Q_OBJECT

    QScopedPointer<SiteKit> m_site;
    QScopedPointer<SocatPair> m_pair;
    QScopedPointer<BirchSimPort> m_panel;
    QStringList m_panelFrames;

    QString path(const QString &name) const { return m_site->path(name); }

    // A site with the sample event tables, one live Birch panel on COM1 and
    // two more controllers on ports that do not exist.
    void makeSite()
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->copyTables());
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisControl=1\n[Com]\ndisconnectTimes=3\n"
                                                "[SerialPorts]\nCOM1=%1\nCOM2=%2\nCOM3=%2\n")
                                     .arg(path("ttyPanel"), path("absent-tty"))
                                     .toUtf8()));
        QVERIFY(m_site->init({"--controller", "1:22:1:一号主机", "--controller", "2:22:2:二号主机", "--controller",
                              "3:20:3:三号主机", "--account", "demo:demo123:Local"}));
        m_pair.reset(new SocatPair(path("ttyPanel"), path("ttySim")));
        QVERIFY(m_pair->start());
        m_panel.reset(new BirchSimPort);
        m_panel->sim().setId(1);
        m_panelFrames.clear();
        connect(m_panel.data(), &BirchSimPort::frameReceived, this, [this](const QString &text) { m_panelFrames << text; });
        QVERIFY(m_panel->openDevice(path("ttySim")));
    }

    void startServer()
    {
        QVERIFY2(m_site->start(QStringLiteral("client service listening on port 5999"), 10000),
                 qPrintable("server ended: " + m_site->startLog()));
    }

    QProcess *startClient(const QStringList &command = {})
    {
        return m_site->client(QStringLiteral("demo"), QStringLiteral("demo123"), command);
    }

    // Whether the client has printed a NewEvent with this number and property.
    static bool hasEvent(QProcess *client, QString *seen, int number, int property, const QString &code = QString(),
                         QJsonObject *found = nullptr)
    {
        *seen += QString::fromUtf8(client->readAll());
        for (const QString &line : seen->split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            if (o.value("b").toString() == QLatin1String("NewEvent") && o.value("g").toInt() == number
                && o.value("h").toInt() == property && (code.isNull() || o.value("m").toString() == code)) {
                if (found)
                    *found = o;
                return true;
            }
        }
        return false;
    }

private slots:
    void cleanup()
    {
        if (m_site)
            m_site->terminate();
        m_panel.reset();
        m_pair.reset();
        m_site.reset();
    }

    void fullSession()
    {
        STEP(makeSite());
        QVERIFY(QDir(m_site->dir()).mkdir("ManageDoc"));
        QVERIFY(TestFiles::write(path(QStringLiteral("ManageDoc/应急预案.pdf")), QByteArray(10000, 'p') + "%%EOF"));
        STEP(startServer());
        QProcess *client = startClient();
        QProcess centre;
        centre.start(kCentre, {"--timeout", "60"});
        QString seen, heard;
        QTRY_VERIFY_WITH_TIMEOUT((seen += QString::fromUtf8(client->readAll())).contains("LogOK_Mulsys"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT((heard += QString::fromUtf8(centre.readAll())).contains("connected to"), 10000);

        // A fire alarm reaches the client with the table's number and class,
        // and the centre as a line; the panel sees its acknowledgement byte
        // (panel number + 0x50).
        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QJsonObject alarm;
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(client, &seen, 1, 1, "00100503", &alarm), 10000);
        QCOMPARE(QList<int>({alarm.value("d").toInt(), alarm.value("e").toInt(), alarm.value("f").toInt(),
                             alarm.value("c").toInt()}),
                 QList<int>({1, 22, 1, 1})); // panel, its type, class, COM1
        QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.contains(QStringLiteral("ack 51")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT((heard += QString::fromUtf8(centre.readAll()))
                                     .contains(QStringLiteral("DeviceData||火灾报警系统||火灾报警系统1设备00100503:")),
                                 10000);
        QVERIFY(heard.contains(QRegularExpression(R"(00100503:[^\n]*\|\|127\.0\.0\.1\|\|1\|\|0\n)")));
        centre.kill();
        centre.waitForFinished();

        // The query port: a document arrives whole, under its Chinese name.
        QProcess fetch;
        fetch.start(kCentre, {"--doc", "1005", "--out", path("fetched.pdf")});
        QVERIFY(fetch.waitForFinished(15000));
        QVERIFY2(fetch.exitCode() == 0, fetch.readAll().constData());
        QCOMPARE(TestFiles::read(path("fetched.pdf")), QByteArray(10000, 'p') + "%%EOF");

        // The panel goes quiet and comes back: loss and restore share number 17.
        m_panel->sim().setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(client, &seen, 17, 1), 20000);
        m_panel->sim().setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(client, &seen, 17, 0), 20000);
        client->kill();
        client->waitForFinished();
        QTRY_VERIFY_WITH_TIMEOUT(m_site->log().contains(QStringLiteral("客户端退出")), 5000);

        // A client's silence reaches the panel as a command frame (from a
        // second fire-client, now that the account is free again).
        QProcess *commander = startClient({"silence", "1"});
        QString said;
        QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromUtf8(commander->readAll())).contains("sent SETCONTROL"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_panelFrames.filter(QRegularExpression("^command( \\w\\w){4} 70")).isEmpty(), 10000);

        // SIGTERM: a quick, clean exit that stores the open states and keeps the accounts.
        const qint64 ms = m_site->terminate();
        QVERIFY2(ms >= 0 && ms < 3000, qPrintable(QString::number(ms)));
        QCOMPARE(m_site->server()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_site->server()->exitCode(), 0);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "e2e");
            db.setDatabaseName(path("KelServerSet.db"));
            QVERIFY(db.open());
            QSqlQuery q("select ControllerID, IsOpenBefore from ServerControllerInfo order by ControllerID", db);
            QStringList states;
            while (q.next())
                states << q.value(0).toString() + ":" + q.value(1).toString();
            QCOMPARE(states, QStringList({"1:1", "2:0", "3:0"})); // COM2 and COM3 have no device
        }
        QSqlDatabase::removeDatabase("e2e");
        QVERIFY(ClientAccounts::instance().load(path("FireServerInfo.cfg")));
        QCOMPARE(ClientAccounts::instance().account("demo").password, QStringLiteral("demo123"));
    }

    // Killed outright, the server leaves the broker to publish its will: a
    // retained "offline", which a subscriber that comes later still finds.
    void killedServerIsOfflineOnMqtt()
    {
        STEP(makeSite());
        MosquittoBroker broker(m_site->dir());
        QVERIFY(broker.start());
        QVERIFY(m_site->appendIni(QStringLiteral("[Mqtt]\nenabled=1\nhost=127.0.0.1\nport=%1\nclientId=killed\nkeepAlive=60\n")
                                      .arg(broker.port()).toUtf8()));
        const QString status = QStringLiteral("fireserver/killed/status");
        MqttProbe watch("watch");
        QVERIFY(watch.connectTo(broker.port()));
        watch.subscribe(status);
        STEP(startServer());
        QTRY_COMPARE_WITH_TIMEOUT(watch.messages(status).value(0).payload, QByteArray("online"), 15000);
        m_site->kill();
        // The broker sees the connection drop at once, long before the keep-alive.
        QTRY_COMPARE_WITH_TIMEOUT(watch.messages(status).last().payload, QByteArray("offline"), 10000);
        MqttProbe late("late");
        QVERIFY(late.connectTo(broker.port()));
        late.subscribe(status);
        QTRY_COMPARE_WITH_TIMEOUT(late.count(status), 1, 10000);
        QVERIFY(late.messages().at(0).retained);
        QCOMPARE(late.messages().at(0).payload, QByteArray("offline"));
    }

    void startsInAnEmptyDirectory()
    {
        m_site.reset(new SiteKit);
        m_site->launch();
        QTcpSocket probe;
        QTRY_VERIFY_WITH_TIMEOUT((probe.connectToHost("127.0.0.1", 5999), probe.waitForConnected(200)), 10000);
        QVERIFY(QFile::exists(path("KelServerSet.db")));
        const qint64 ms = m_site->terminate();
        QVERIFY(ms >= 0 && ms < 3000);
        QCOMPARE(m_site->server()->exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerEndToEnd)
#include "tst_server_e2e.moc"
