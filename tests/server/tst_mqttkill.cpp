// FIXED_PORTS_TEST: the real executable with MQTT on. Killed outright, it
// leaves the broker to publish its will: a retained "offline" on its status
// topic, which a subscriber that comes later still finds.

#include "tools/sim/mosquittobroker.h"
#include "tools/sim/mqttprobe.h"

#include <QtTest>

#include <csignal>

class TestMqttKill : public QObject
{
    Q_OBJECT

private slots:
    void killedServerIsOffline()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Log"));
        MosquittoBroker broker(dir.path());
        QVERIFY(broker.start());
        QFile ini(dir.filePath("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Mqtt]\nenabled=1\nhost=127.0.0.1\nport=%1\nclientId=killed\nkeepAlive=60\n")
                      .arg(broker.port())
                      .toUtf8());
        ini.close();

        MqttProbe watch("watch");
        QVERIFY(watch.connectTo(broker.port()));
        watch.subscribe("fireserver/killed/status");
        QProcess server;
        server.setWorkingDirectory(dir.path());
        server.start(QStringLiteral(FIRE_BINARY_DIR "/fireserver"), {"--headless", "--app-dir", dir.path()});
        QVERIFY(server.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(watch.messages("fireserver/killed/status").value(0).payload, QByteArray("online"),
                                  15000);

        ::kill(pid_t(server.processId()), SIGKILL);
        QVERIFY(server.waitForFinished(5000));
        // The broker sees the connection drop at once, long before the keep-alive.
        QTRY_COMPARE_WITH_TIMEOUT(watch.messages("fireserver/killed/status").last().payload, QByteArray("offline"),
                                  10000);
        MqttProbe late("late");
        QVERIFY(late.connectTo(broker.port()));
        late.subscribe("fireserver/killed/status");
        QTRY_COMPARE_WITH_TIMEOUT(late.count("fireserver/killed/status"), 1, 10000);
        QVERIFY(late.messages().at(0).retained);
        QCOMPARE(late.messages().at(0).payload, QByteArray("offline"));
    }
};

QTEST_GUILESS_MAIN(TestMqttKill)
#include "tst_mqttkill.moc"
