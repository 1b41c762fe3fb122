// The NB-IoT receiver on loopback: curl posts the sample messages of
// tools/nbiot to "/postData" and the events are checked field by field.
#include "common/httptestclient.h"
#include "config/configtables.h"
#include "core/apppaths.h"
#include "gateways/httpmanager.h"
#include "gateways/nbdevice.h"
#include "gateways/requestmanager.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <time.h>

using namespace HttpTest;

class TestNBDevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QScopedPointer<NBDevice> m_device;
    QScopedPointer<QSignalSpy> m_events;

    QString sample(const char *kind) const { return QStringLiteral(FIRE_SOURCE_DIR "/tools/nbiot/%1.json").arg(kind); }
    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_device->serverPort()).arg(QLatin1String(path));
    }
    // Posts a body; the acknowledgement it got.
    QByteArray post(const QString &dataArg, const char *path = "/postData")
    {
        const CurlResult r = curl({"-H", "Content-Type: application/json", "--data-binary", dataArg, url(path)});
        return r.exitCode == 0 ? r.out : "curl failed";
    }
    // The events since the last call. Bodies are converted in arrival order
    // on the main thread, so after a "dev_online" marker has come through,
    // everything posted before it has been converted too.
    QList<CEvent> takeEvents()
    {
        const QByteArray ack = post(QStringLiteral("@") + sample("dev_online"));
        if (ack != "{\"err_code\":0,\"err_msg\":\"\"}")
            return {};
        QList<CEvent> out;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            out.clear();
            for (const QList<QVariant> &args : qAsConst(*m_events))
                out << CEvent::fromVariant(args.at(0));
            if (!out.isEmpty() && out.last().nEventCode == 913 && out.last().strTime == "2019-08-01 14:46:40")
                break;
            QTest::qWait(5);
        }
        m_events->clear();
        if (!out.isEmpty())
            out.removeLast(); // the marker
        return out;
    }

private slots:
    void initTestCase()
    {
        // Shanghai time, so "local time" differs from UTC in the checks.
        qputenv("TZ", "CST-8");
        tzset();
        QVERIFY(ConfigTables::instance().loadEventTable(FIRE_SOURCE_DIR "/site/EventConfig.xml"));
        QFile ini(m_dir.filePath("httpConfig.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[listener]\nhost=127.0.0.1\nport=0\nminThreads=1\nmaxThreads=10\n");
        ini.close();
        AppPaths::setAppDir(m_dir.path());
        m_device.reset(new NBDevice);
        QVERIFY(m_device->serverPort() != 0);
        m_events.reset(new QSignalSpy(m_device.data(), &NBDevice::sendEvent));
    }

    // The sample alarm, status and fault messages, each acknowledged and each
    // one event with the receiver's fixed fields and the local event time.
    void samplesBecomeEvents()
    {
        const CurlResult r = curl({"-i", "--data-binary", "@" + sample("dev_alarm"), url("/postData")});
        QVERIFY(r.out.contains("\r\nContent-Type: application/json\r\n"));
        QCOMPARE(bodyOf(r.out), QByteArray("{\"err_code\":0,\"err_msg\":\"\"}"));
        QCOMPARE(post("@" + sample("dev_status")), QByteArray("{\"err_code\":0,\"err_msg\":\"\"}"));
        QCOMPARE(post("@" + sample("dev_fault")), QByteArray("{\"err_code\":0,\"err_msg\":\"\"}"));
        const QList<CEvent> events = takeEvents();
        QCOMPARE(events.size(), 3);
        struct Expected { int code; int property; const char *time; };
        const Expected expected[] = {{1, 1, "2019-08-01 14:12:14"}, {1, 0, "2019-08-01 14:22:14"},
                                     {3, 1, "2019-08-01 14:29:59"}};
        for (int i = 0; i < 3; ++i) {
            CEvent want;
            want.nPanelID = 1;
            want.nPanelType = want.nDevType = 1;
            want.nEventCode = expected[i].code;
            ConfigTables::instance().complete(want);
            want.nEventProperty = expected[i].property;
            want.strTime = QString::fromLatin1(expected[i].time);
            want.strCode = QStringLiteral("863703030512345");
            QVERIFY(want.nEventType != 0);
            QCOMPARE(events.at(i), want);
        }
    }

    // Readings as numbers (how the platform sends them) and as texts.
    void deviceDataThresholds_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("event");
        QTest::newRow("numbers at the limits") << QByteArray("\"voltage\":35,\"dirty\":92") << true;
        QTest::newRow("voltage 34.9") << QByteArray("\"voltage\":34.9,\"dirty\":95") << false;
        QTest::newRow("dirty 91.9") << QByteArray("\"voltage\":36.5,\"dirty\":91.9") << false;
        QTest::newRow("texts") << QByteArray("\"voltage\":\"35.0\",\"dirty\":\"92\"") << true;
        QTest::newRow("text below") << QByteArray("\"voltage\":\"34.9\",\"dirty\":\"92\"") << false;
        QTest::newRow("missing dirty") << QByteArray("\"voltage\":40") << false;
        QTest::newRow("not a number") << QByteArray("\"voltage\":\"high\",\"dirty\":true") << false;
    }
    void deviceDataThresholds()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, event);
        const QByteArray body = "{\"msg_type\":\"dev_data\",\"msg_content\":{\"dev_id\":\"1\",\"eve_time\":0," + content + "}}";
        CEvent e;
        QCOMPARE(NBDevice::parseMessage(QJsonDocument::fromJson(body).object(), &e), event);
        if (event) {
            QCOMPARE(e.nEventCode, 913);
            QCOMPARE(e.nEventProperty, 0);
            QCOMPARE(e.strTime, QStringLiteral("1970-01-01 08:00:00"));
        }
    }

    // Numbers beyond 64 bits: the id as JSON writes it, the time of second 0.
    void numbersBeyond64Bits()
    {
        const QByteArray bodies[] = {
            "{\"msg_type\":\"dev_alarm\",\"msg_content\":{\"dev_id\":8.6e110,\"eve_time\":1e300}}",
            "{\"msg_type\":\"dev_alarm\",\"msg_content\":{\"dev_id\":-1e19,\"eve_time\":\"9223372036854775807\"}}",
        };
        const QString ids[] = {QStringLiteral("8.6e+110"), QStringLiteral("-1e+19")};
        for (int i = 0; i < 2; ++i) {
            CEvent e;
            QVERIFY(NBDevice::parseMessage(QJsonDocument::fromJson(bodies[i]).object(), &e));
            QCOMPARE(e.strCode, ids[i]);
            QCOMPARE(e.strTime, QStringLiteral("1970-01-01 08:00:00"));
        }
    }

    // Other paths get the test reply; an empty body, broken JSON and unknown
    // kinds are acknowledged and make no event; the sample data message does.
    void noEventCases()
    {
        const CurlResult other = curl({"-d", "@" + sample("dev_alarm"), url("/status")});
        QCOMPARE(other.out, QByteArray("{\"test_id\":1,\"test_msg\":\"this is a test msg\"}"));
        const QByteArray ack = "{\"err_code\":0,\"err_msg\":\"\"}";
        QCOMPARE(curl({"-X", "POST", url("/postData")}).out, ack);
        QCOMPARE(post("{\"msg_type\":\"dev_alarm\""), ack);
        QCOMPARE(post("{\"msg_type\":\"dev_reboot\",\"msg_content\":{}}"), ack);
        QCOMPARE(post("{\"msg_content\":{\"dev_id\":\"1\"}}"), ack);
        QCOMPARE(post("@" + sample("dev_data")), ack);
        const QList<CEvent> events = takeEvents();
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first().nEventCode, 913);
    }

    // Bodies are handed to the main thread in batches, in order; when it
    // falls MaxWaiting behind, a post is refused with err_code 1 instead of
    // being acknowledged and lost.
    void backlogRefusedNotLost()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("fire.http.debug=false")); // ten thousand lines
        Http http;
        QSignalSpy bodies(&http, &Http::sendJsonData);
        for (int i = 0; i < Http::MaxWaiting; ++i)
            QVERIFY(http.handlePostData(QByteArray::number(i)).isEmpty());
        const QString reply = http.handlePostData("one too many");
        QCOMPARE(RequestManager::acknowledgement(reply), QByteArray("{\"err_code\":1,\"err_msg\":\"busy\"}"));
        QTRY_COMPARE(bodies.count(), Http::MaxWaiting);
        QCOMPARE(bodies.first().at(0).toByteArray(), QByteArray("0"));
        QCOMPARE(bodies.last().at(0).toByteArray(), QByteArray::number(Http::MaxWaiting - 1));
        QVERIFY(http.handlePostData("room again").isEmpty());
        QLoggingCategory::setFilterRules(QString());
    }

    // httpConfig.ini is found in the application directory's etc/ as well
    // (without any, see tst_gatewaywiring).
    void configFileInEtc()
    {
        QTemporaryDir other;
        QVERIFY(QDir(other.path()).mkpath("etc"));
        QVERIFY(QFile::copy(m_dir.filePath("httpConfig.ini"), other.filePath("etc/httpConfig.ini")));
        AppPaths::setAppDir(other.path());
        QCOMPARE(HttpManager::findConfigFile(), QFileInfo(other.filePath("etc/httpConfig.ini")).canonicalFilePath());
        AppPaths::setAppDir(m_dir.path());
    }
};

QTEST_GUILESS_MAIN(TestNBDevice)
#include "tst_nbdevice.moc"
