// The MQTT publisher against a real Mosquitto broker of the test's own on a
// free loopback port: events in order with their names, the retained status,
// states and active conditions; a journal carried over a restart while the
// broker is down; a broker stopped during a stream (nothing lost, order
// kept); the journal's cap seen as a gap in "seq"; the reconnection
// back-off; TLS with a test CA and client certificates; the options
// config.ini gives.

#include "common/testfiles.h"
#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "gateways/mqttlink.h"
#include "gateways/mqttpublisher.h"
#include "tools/sim/mosquittobroker.h"
#include "tools/sim/mqttprobe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
// An event as the dispatcher delivers it: a panel's code completed from the
// sample table (2 alarm, 2003 its restore, 3 fault).
CEvent delivered(int panelCode, int property, const QString &code)
{
    CEvent e;
    e.nPanelID = 1;
    e.nPanelType = 22;
    e.nEventCode = panelCode;
    ConfigTables::instance().complete(e);
    e.nEventProperty = property;
    e.strCode = code;
    e.strTime = QStringLiteral("2024-03-01 08:00:00");
    return e;
}

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// The "seq" of every event message, in arrival order.
QList<qint64> seqs(const MqttProbe &probe, const QString &topic)
{
    QList<qint64> out;
    for (const MqttProbe::Message &m : probe.messages(topic))
        out.append(qint64(json(m.payload).value("seq").toDouble()));
    return out;
}

// QoS 1 may bring a message twice (sent again after a lost acknowledgement):
// the first arrivals must be 1..n in order.
QList<qint64> firstArrivals(const QList<qint64> &all)
{
    QList<qint64> out;
    for (qint64 s : all) {
        if (!out.contains(s))
            out.append(s);
    }
    return out;
}

QList<qint64> oneTo(qint64 n)
{
    QList<qint64> out;
    for (qint64 i = 1; i <= n; ++i)
        out.append(i);
    return out;
}
} // namespace

#define SYNC(args) \
    do { \
        sync args; \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)

class TestMqttPublisher : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;

    MqttPublisher::Options options(quint16 port, const QString &clientId) const
    {
        MqttPublisher::Options o;
        o.host = QStringLiteral("127.0.0.1");
        o.port = port;
        o.clientId = clientId;
        o.journalPath = m_dir->filePath(clientId + ".db");
        o.reconnectMinMs = 100;
        o.reconnectMaxMs = 400;
        o.activeIntervalMs = 50;
        return o;
    }

    // The probe's subscriptions are in force once its own message comes back.
    static void sync(MqttProbe &probe, const QString &tag)
    {
        probe.subscribe("probe/" + tag);
        QTRY_VERIFY_WITH_TIMEOUT(probe.isConnected(), 10000);
        probe.publish("probe/" + tag, "ping");
        QTRY_VERIFY_WITH_TIMEOUT(probe.count("probe/" + tag) > 0, 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(ConfigTables::instance().loadEventTable(QStringLiteral(FIRE_SOURCE_DIR "/site/EventConfig.xml")));
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void optionsFromConfigIni()
    {
        // The sample site: off, with the documented prefix.
        ServerContext::instance().loadIni(QStringLiteral(FIRE_SOURCE_DIR "/site/config.ini"));
        QVERIFY(!ServerContext::instance().iniSwitch("Mqtt/enabled"));
        QCOMPARE(MqttPublisher::optionsFromIni().topicPrefix, QStringLiteral("fireserver/site"));

        // Values out of range are refused with a warning, not used.
        QVERIFY(TestFiles::write(m_dir->filePath("config.ini"), "[Mqtt]\nport=70000\nqos=3\nkeepAlive=2\n"
                                 "password=a,b c\ncaFile=certs/ca.crt\nallowCommands=2\n"));
        AppPaths::setAppDir(m_dir->path());
        ServerContext::instance().loadIni();
        LogCapture log;
        const MqttPublisher::Options o = MqttPublisher::optionsFromIni();
        QCOMPARE(log.count("outside"), 3);
        QCOMPARE(o.port, 1883);
        QCOMPARE(o.qos, 1);
        QCOMPARE(o.keepAlive, 30);
        QCOMPARE(o.password, QStringLiteral("a,b c"));
        QCOMPARE(o.caFile, m_dir->filePath("certs/ca.crt"));
        QVERIFY(!o.allowCommands);
    }

    void eventsStatusStatesAndActive()
    {
        MosquittoBroker broker(m_dir->path());
        QVERIFY(broker.start());
        MqttProbe watch("watch");
        QVERIFY(watch.connectTo(broker.port()));
        watch.subscribe("site/a/#");
        SYNC((watch, "a"));

        auto pub = std::make_unique<MqttPublisher>([&] {
            MqttPublisher::Options o = options(broker.port(), "pub-a");
            o.topicPrefix = "site/a/";
            return o;
        }());
        QList<CEvent> active{delivered(2, 1, "00100503")};
        pub->setActiveSource([&active] { return active; });
        pub->start();
        QTRY_VERIFY_WITH_TIMEOUT(pub->isConnected(), 10000);
        QTRY_COMPARE(watch.messages("site/a/status").value(0).payload, QByteArray("online"));

        pub->publishEvent(delivered(2, 1, "00100503"));
        pub->publishEvent(delivered(3, 1, "00100600"));
        pub->publishEvent(delivered(2003, 0, "00100503"));
        QTRY_COMPARE(watch.count("site/a/events"), 3);
        QCOMPARE(seqs(watch, "site/a/events"), oneTo(3));
        QStringList names;
        for (const MqttProbe::Message &m : watch.messages("site/a/events"))
            names << json(m.payload).value("eventName").toString();
        QCOMPARE(names, (QStringList{"报警", "故障", "报警恢复"}));
        const QJsonObject second = json(watch.messages("site/a/events").at(1).payload);
        QCOMPARE(second.value("code").toString(), QStringLiteral("00100600"));
        QCOMPARE(second.value("panelType").toInt(), 22);
        QTRY_COMPARE(pub->journal().count(), 0);

        // The active list: once, then again after it changed.
        QTRY_COMPARE(watch.count("site/a/active"), 1);
        QCOMPARE(json(watch.messages("site/a/active").at(0).payload).value("count").toInt(), 1);
        active.clear();
        pub->markActiveChanged();
        QTRY_COMPARE(watch.count("site/a/active"), 2);
        QCOMPARE(json(watch.messages("site/a/active").at(1).payload).value("count").toInt(), 0);

        MqttCodec::ControllerState state;
        state.name = "一号主机";
        pub->setControllerState(1, state);
        pub->setControllerState(1, state); // unchanged: not sent again
        pub->setControllerState(2, state);
        pub->removeControllerState(2);
        QTRY_COMPARE(watch.count("site/a/controllers/2/state"), 2);
        QCOMPARE(watch.messages("site/a/controllers/2/state").at(1).payload, QByteArray());
        QCOMPARE(watch.count("site/a/controllers/1/state"), 1);

        pub.reset(); // a clean stop
        QTRY_COMPARE(watch.messages("site/a/status").last().payload, QByteArray("offline"));
        // A newcomer finds the retained state of everything.
        MqttProbe late("late");
        QVERIFY(late.connectTo(broker.port()));
        late.subscribe("site/a/#");
        SYNC((late, "late"));
        QCOMPARE(late.count("site/a/events"), 0);
        QCOMPARE(late.messages("site/a/status").value(0).payload, QByteArray("offline"));
        QVERIFY(late.messages("site/a/status").value(0).retained);
        QCOMPARE(json(late.messages("site/a/active").value(0).payload).value("count").toInt(), 0);
        QCOMPARE(json(late.messages("site/a/controllers/1/state").value(0).payload).value("name").toString(),
                 QStringLiteral("一号主机"));
        QCOMPARE(late.count("site/a/controllers/2/state"), 0);
    }

    void brokerAwayLosesNothingAndKeepsOrder()
    {
        MosquittoBroker broker(m_dir->path());
        broker.setPersistence(true); // the subscriber's session survives the restarts
        QVERIFY(broker.start());
        MqttProbe keeper("keeper", false);
        QVERIFY(keeper.connectTo(broker.port()));
        keeper.subscribe("fireserver/pub-b/events", 1);
        SYNC((keeper, "b"));
        broker.stop();

        // A small window: the backlog drains over many rounds while the
        // stream goes on, and nothing new may pass it.
        MqttPublisher::Options o = options(broker.port(), "pub-b");
        o.maxInFlight = 10;
        // Events of a run that never reached the broker wait in the journal
        // for the next one.
        auto pub = std::make_unique<MqttPublisher>(o);
        pub->start();
        int fed = 0;
        for (; fed < 10; ++fed)
            pub->publishEvent(delivered(3, 1, QString::number(fed)));
        QTRY_COMPARE(pub->journal().count(), 10);
        pub.reset();
        pub = std::make_unique<MqttPublisher>(o);
        pub->start();
        for (; fed < 20; ++fed)
            pub->publishEvent(delivered(3, 1, QString::number(fed)));
        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(keeper.count("fireserver/pub-b/events"), 20, 15000);

        // A stream, with the broker stopped in the middle of it.
        QTimer stream;
        connect(&stream, &QTimer::timeout, pub.get(),
                [&] { pub->publishEvent(delivered(3, 1, QString::number(fed++))); });
        stream.start(2);
        QTRY_VERIFY_WITH_TIMEOUT(keeper.count("fireserver/pub-b/events") >= 60, 10000);
        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!pub->isConnected(), 10000);
        const int atOutage = fed;
        QTRY_VERIFY_WITH_TIMEOUT(fed >= atOutage + 150, 10000);
        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(pub->isConnected(), 10000);
        const int atReturn = fed;
        QTRY_VERIFY_WITH_TIMEOUT(fed >= atReturn + 50, 10000);
        stream.stop();

        QTRY_COMPARE_WITH_TIMEOUT(firstArrivals(seqs(keeper, "fireserver/pub-b/events")).size(), fed, 20000);
        QCOMPARE(firstArrivals(seqs(keeper, "fireserver/pub-b/events")), oneTo(fed));
        QTRY_COMPARE(pub->journal().count(), 0);
    }

    void journalCapShowsAsAGap()
    {
        MosquittoBroker broker(m_dir->path());
        MqttPublisher::Options o = options(0, "pub-d");
        o.journalCaps.maxEntries = 5;
        {
            // Not started: nothing but the journal runs.
            MqttPublisher pub(o);
            for (int i = 0; i < 3; ++i)
                pub.publishEvent(delivered(3, 1, QString::number(i)));
            QTRY_COMPARE(pub.journal().count(), 3);
            // One pass of five more: the oldest three make room, in the same commit.
            for (int i = 3; i < 8; ++i)
                pub.publishEvent(delivered(3, 1, QString::number(i)));
            QTRY_COMPARE(pub.journal().droppedCount(), qint64(3));
        }

        QVERIFY(broker.start());
        MqttProbe watch("watch-d");
        QVERIFY(watch.connectTo(broker.port()));
        watch.subscribe("fireserver/pub-d/events");
        SYNC((watch, "d"));
        MqttPublisher pub(options(broker.port(), "pub-d"));
        pub.start();
        QTRY_COMPARE_WITH_TIMEOUT(watch.count("fireserver/pub-d/events"), 5, 10000);
        QCOMPARE(seqs(watch, "fireserver/pub-d/events"), (QList<qint64>{4, 5, 6, 7, 8}));
    }

    void reconnectBacksOffDoubling()
    {
        // A "broker" that hangs up on every attempt: the pauses between the
        // attempts double from the least to the most and stay there.
        QTcpServer refuser;
        QVERIFY(refuser.listen(QHostAddress::LocalHost));
        QList<qint64> attempts;
        QElapsedTimer clock;
        clock.start();
        connect(&refuser, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = refuser.nextPendingConnection()) {
                attempts << clock.elapsed();
                s->abort();
                s->deleteLater();
            }
        });
        MqttLink::Settings settings;
        settings.host = "127.0.0.1";
        settings.port = refuser.serverPort();
        settings.clientId = "backoff";
        settings.reconnectMinMs = 100;
        settings.reconnectMaxMs = 400;
        MqttLink link(settings);
        QVERIFY(link.start());
        QTRY_VERIFY_WITH_TIMEOUT(attempts.size() >= 6, 15000);
        link.stop();
        const QList<qint64> least{100, 200, 400, 400, 400};
        for (int i = 0; i < least.size(); ++i) {
            const qint64 gap = attempts.at(i + 1) - attempts.at(i);
            QVERIFY2(gap >= least.at(i) * 9 / 10, qPrintable(QString("pause %1: %2 ms").arg(i).arg(gap)));
        }
    }

    void tlsWithATestCa()
    {
        QString error;
        QVERIFY2(MosquittoBroker::makeCertificates(m_dir->path(), &error), qPrintable(error));
        const QString ca = m_dir->filePath("ca.crt");
        const QString cert = m_dir->filePath("client.crt");
        const QString key = m_dir->filePath("client.key");
        MosquittoBroker broker(m_dir->path());
        broker.setTls(ca, m_dir->filePath("server.crt"), m_dir->filePath("server.key"), true);
        QVERIFY(broker.start());
        MqttProbe watch("tls-watch");
        watch.setTls(ca, cert, key);
        QVERIFY(watch.connectTo(broker.port()));
        watch.subscribe("fireserver/pub-c/#");
        SYNC((watch, "c"));

        {
            // A certificate that cannot be read: nothing connects, rather
            // than a connection without TLS.
            LogCapture log;
            MqttPublisher::Options o = options(broker.port(), "pub-c");
            o.caFile = ca;
            o.certFile = m_dir->filePath("missing.crt");
            o.keyFile = key;
            MqttPublisher pub(o);
            pub.start();
            QCOMPARE(log.count("missing.crt cannot be read"), 1);
        }

        MqttPublisher::Options o = options(broker.port(), "pub-c");
        o.caFile = ca;
        o.certFile = cert;
        o.keyFile = key;
        MqttPublisher pub(o);
        pub.start();
        pub.publishEvent(delivered(2, 1, "00100503"));
        QTRY_COMPARE_WITH_TIMEOUT(watch.count("fireserver/pub-c/events"), 1, 10000);
        QCOMPARE(watch.messages("fireserver/pub-c/status").value(0).payload, QByteArray("online"));
    }
};

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "tst_mqttpublisher.moc"
