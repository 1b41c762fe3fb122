// The server with MQTT on, as config.ini switches it: a live Birch panel
// (simulated on a socat pair), one whose line is missing, and a Mosquitto
// broker of the test's own. The retained controller state follows a
// communication loss; a command reaches the panel only with
// Mqtt/allowCommands and Server/isControl both on; malformed commands are
// answered with an error and reach no panel.

#include "common/simulatedbirch.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "panels/cpanelmanager.h"
#include "server/fireserver.h"
#include "server/monitoring.h"
#include "server/mqttservice.h"
#include "tools/sim/mosquittobroker.h"
#include "tools/sim/mqttprobe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

namespace {
const QString kStates = QStringLiteral("fireserver/site/controllers/+/state");
const QString kState1 = QStringLiteral("fireserver/site/controllers/1/state");
const QString kCommands = QStringLiteral("fireserver/site/commands");
const QString kResults = QStringLiteral("fireserver/site/commands/result");

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

QJsonObject last(const MqttProbe &probe, const QString &topic)
{
    const QList<MqttProbe::Message> all = probe.messages(topic);
    return all.isEmpty() ? QJsonObject() : json(all.last().payload);
}
} // namespace

class TestMqttServer : public QObject
{
    Q_OBJECT
    std::unique_ptr<SiteKit> m_site;
    std::unique_ptr<MosquittoBroker> m_broker;
    std::unique_ptr<SimulatedBirch> m_panel;
    std::unique_ptr<FireServer> m_server;

    QString path(const QString &name) const { return m_site->path(name); }

    void startSite(bool allowCommands, bool control)
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->isValid());
        m_broker.reset(new MosquittoBroker(m_site->dir()));
        QVERIFY(m_broker->start());
        QVERIFY(m_site->copyTables());
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisControl=%1\n[Com]\ndisconnectTimes=3\n[SerialPorts]\nCOM1=%2\n"
                                 "COM2=%5\n"
                                 "[Mqtt]\nenabled=1\nhost=127.0.0.1\nport=%3\nclientId=site\nallowCommands=%4\n")
                      .arg(control ? 1 : 0)
                      .arg(path("ttyPanel"))
                      .arg(m_broker->port())
                      .arg(allowCommands ? 1 : 0)
                      .arg(path("absent-tty"))
                      .toUtf8()));
        QVERIFY(m_site->init({"--controller", QStringLiteral("1:22:1:一号主机"), "--controller", QStringLiteral("2:22:2:二号主机")}));
        m_panel.reset(new SimulatedBirch(m_site->dir()));
        QVERIFY(m_panel->start());

        m_site->useHere();
        FireServer::Options o = Site::freePorts();
        o.stateTimerMs = 200;
        o.mqtt.reconnectMinMs = 100;
        o.mqtt.reconnectMaxMs = 400;
        m_server.reset(new FireServer(o));
        m_server->start();
        QVERIFY(m_server->service<MqttService>());
        QTRY_VERIFY_WITH_TIMEOUT(m_server->service<MqttService>()->publisher()->isConnected(), 10000);
        // The driver takes commands only after a good exchange with its panel.
        QTRY_VERIFY_WITH_TIMEOUT(m_panel->received("poll").size() >= 2, 10000);
    }

    int commandFrames() const { return m_panel->received("command").size(); }

    // Several more poll passes go by: whatever was on its way to the panel is there.
    void waitPolls(int n)
    {
        const int polls = m_panel->received("poll").size();
        QTRY_VERIFY_WITH_TIMEOUT(m_panel->received("poll").size() >= polls + n, 10000);
    }

    void connectProbe(MqttProbe &probe, const QStringList &topics)
    {
        QVERIFY(probe.connectTo(m_broker->port()));
        for (const QString &t : topics)
            probe.subscribe(t);
        probe.subscribe("probe/sync");
        QTRY_VERIFY_WITH_TIMEOUT(probe.isConnected(), 10000);
        probe.publish("probe/sync", "ping");
        QTRY_VERIFY_WITH_TIMEOUT(probe.count("probe/sync") > 0, 10000);
    }

private slots:
    void cleanup()
    {
        m_server.reset();
        m_panel.reset();
        m_broker.reset();
        m_site.reset();
    }

    void retainedStateFollowsCommunication()
    {
        STEP(startSite(false, false));
        MqttProbe watch("watch");
        STEP(connectProbe(watch, {kStates, "fireserver/site/status"}));
        QTRY_COMPARE_WITH_TIMEOUT(last(watch, kState1).value("comm").toString(), QStringLiteral("ok"), 10000);
        QJsonObject state = last(watch, kState1);
        QCOMPARE(state.value("name").toString(), QStringLiteral("一号主机"));
        QCOMPARE(state.value("type").toInt(), 22);
        QCOMPARE(state.value("typeName").toString(), QStringLiteral("火灾报警控制器(22型)"));
        QCOMPARE(state.value("running").toBool(), true);

        // A controller whose line cannot be opened: the manager's "normal"
        // notice before the attempt does not make it look watched.
        const QString state2 = QStringLiteral("fireserver/site/controllers/2/state");
        QTRY_COMPARE(last(watch, state2).value("running").toBool(), false);
        QVERIFY(!m_server->panelManager()->openPanel(2));
        STEP(waitPolls(3));
        QCOMPARE(last(watch, state2).value("comm").toString(), QStringLiteral("unknown"));
        QCOMPARE(last(watch, state2).value("running").toBool(), false);

        m_panel->sim().setSilent(true);
        QTRY_COMPARE_WITH_TIMEOUT(last(watch, kState1).value("comm").toString(), QStringLiteral("lost"), 20000);
        // The lost event went out and was acknowledged: the operators see it.
        Monitoring monitoring(m_server.get());
        QTRY_VERIFY(monitoring.metricsText().contains("\nfireserver_mqtt_last_success_timestamp_seconds 1"));
        QVERIFY(monitoring.metricsText().contains("\nfireserver_mqtt_connected 1\n"));
        // A newcomer learns it from the broker.
        MqttProbe late("late");
        STEP(connectProbe(late, {kStates}));
        QCOMPARE(late.count(kState1), 1);
        QVERIFY(late.messages(kState1).at(0).retained);
        state = last(late, kState1);
        QCOMPARE(state.value("comm").toString(), QStringLiteral("lost"));
        QCOMPARE(state.value("running").toBool(), true);
        QVERIFY(QDateTime::fromString(state.value("since").toString(), "yyyy-MM-dd hh:mm:ss").isValid());

        m_panel->sim().setSilent(false);
        QTRY_COMPARE_WITH_TIMEOUT(last(watch, kState1).value("comm").toString(), QStringLiteral("ok"), 20000);
        // A clean shutdown: the controller closed (and no longer watched),
        // then the server offline.
        m_server->shutdown();
        QTRY_COMPARE(last(watch, kState1).value("running").toBool(), false);
        QCOMPARE(last(watch, kState1).value("comm").toString(), QStringLiteral("unknown"));
        QTRY_COMPARE(watch.messages("fireserver/site/status").last().payload, QByteArray("offline"));
    }

    void commandNeedsBothSwitches_data()
    {
        QTest::addColumn<bool>("allow");
        QTest::addColumn<bool>("control");
        QTest::newRow("both on") << true << true;
        QTest::newRow("control off") << true << false;
        QTest::newRow("commands not allowed") << false << true;
    }

    void commandNeedsBothSwitches()
    {
        QFETCH(bool, allow);
        QFETCH(bool, control);
        STEP(startSite(allow, control));
        MqttProbe op("operator");
        STEP(connectProbe(op, {kResults, kCommands}));
        if (allow && control) {
            // Malformed commands are answered with the reason and reach no
            // panel; only the good one does.
            op.publish(kCommands, "silence panel 1");
            op.publish(kCommands, R"({"id":"m2","cmd":"start","panel":1})");
            op.publish(kCommands, R"({"id":"m3","cmd":"silence","panel":9})");
            op.publish(kCommands, R"({"id":"c1","cmd":"silence","panel":1})");
            QTRY_COMPARE_WITH_TIMEOUT(op.count(kResults), 4, 10000);
            QList<QByteArray> results;
            for (const MqttProbe::Message &m : op.messages(kResults))
                results << m.payload;
            QVERIFY2(results.at(0).startsWith("{\"error\":\"not JSON")
                         && results.at(0).endsWith("\",\"id\":null,\"ok\":false}"),
                     results.at(0).constData());
            QVERIFY2(results.at(1).contains("\\\"from\\\"") && results.at(1).endsWith("\",\"id\":\"m2\",\"ok\":false}"),
                     results.at(1).constData());
            QCOMPARE(results.at(2), QByteArray(R"({"error":"no controller has number 9 and no network controller has reported a panel 9","id":"m3","ok":false})"));
            QCOMPARE(results.at(3), QByteArray(R"({"error":"","id":"c1","ok":true})"));
            QTRY_COMPARE_WITH_TIMEOUT(commandFrames(), 1, 10000);
            // The Birch silence: action 0x70 in the command frame.
            QCOMPARE(m_panel->received("command").first().split(' ').value(5), QStringLiteral("70"));
            STEP(waitPolls(4));
            QCOMPARE(commandFrames(), 1);
            return;
        }
        QVERIFY(op.publish(kCommands, R"({"id":"c1","cmd":"silence","panel":1})"));
        if (allow) {
            QTRY_COMPARE_WITH_TIMEOUT(op.count(kResults), 1, 10000);
            const QJsonObject result = last(op, kResults);
            QCOMPARE(result.value("ok").toBool(), false);
            QVERIFY(result.value("error").toString().contains("Server/isControl"));
        } else {
            // Not subscribed: the command passes the broker and goes nowhere.
            QTRY_COMPARE_WITH_TIMEOUT(op.count(kCommands), 1, 10000);
        }
        STEP(waitPolls(8));
        QCOMPARE(commandFrames(), 0);
        QCOMPARE(op.count(kResults), allow ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestMqttServer)
#include "tst_mqttserver.moc"
