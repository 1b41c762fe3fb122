// The cloud upload against a real HTTP recorder on loopback: records and
// words on the wire, the heartbeat, refused and held batches, the reset,
// credentials, and the journal across restarts. Ticks are driven by hand.

#include "common/testfiles.h"
#include "gateways/chttpclient.h"
#include "tools/sim/cloudrecorder.h"

#include <QMessageAuthenticationCode>
#include <QtTest>

#include <ctime>
#include <memory>

namespace {
// As delivered: number is the event table's.
CEvent makeEvent(int number, int property, const QString &strCode, const QString &note = QStringLiteral("n"),
             const QString &time = QStringLiteral("2024-03-01 08:00:00"))
{
    CEvent e;
    e.nEventNo = number;
    e.nEventProperty = property;
    e.strCode = strCode;
    e.strNote = note;
    e.strTime = time;
    e.nDevType = 5;
    return e;
}

// 2024-03-01 08:00:00 at UTC+8 (the time zone of this test).
const QByteArray kTime = "1709251200000";

QByteArray record(const QByteArray &id, const QByteArray &info, const QByteArray &type)
{
    return "{\"dev_id\":\"" + id + "\",\"dev_info\":\"" + info + "\",\"dev_type\":5,\"eve_time\":" + kTime
        + ",\"eve_type\":\"" + type + "\"}";
}
} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    CloudRecorder m_recorder;
    std::unique_ptr<CHttpClient> m_client;
    int m_run = 0;
    QString m_journal;

    CHttpClient::Options options() const
    {
        CHttpClient::Options o;
        o.tickMs = 0;
        o.answerLimitMs = 2000;
        o.journalPath = m_journal;
        o.projectFile = m_dir.filePath("config.xml");
        return o;
    }

    // A client on the current journal, as the server builds it at start-up.
    void restart(const CHttpClient::Options &o)
    {
        m_client.reset();
        m_client.reset(new CHttpClient(m_recorder.address(), o));
    }

    void feed(const CEvent &e) { m_client->addEvent(e); }

    // One tick that must send a batch; returns whether it was accepted.
    bool tickBatch(int expectedCount)
    {
        QSignalSpy done(m_client.get(), &CHttpClient::batchFinished);
        m_client->tick();
        if (!done.wait(10000))
            return false;
        return done.first().at(0).toInt() == expectedCount && done.first().at(1).toBool();
    }

private slots:
    void initTestCase()
    {
        // A zone without daylight saving, so the milliseconds are exact.
        qputenv("TZ", "CST-8");
        tzset();
        QVERIFY(m_recorder.listen());
        QFile project(m_dir.filePath("config.xml"));
        QVERIFY(project.open(QIODevice::WriteOnly));
        project.write("<root><project><building><zone>"
                      "<device deviceTypeid=\"3\" devicenumber=\"0005\" mark=\"M\"/>"
                      "<device deviceTypeid=\"12\" devicenumber=\"77\" mark=\"old\"/>"
                      "</zone><zone><device deviceTypeid=\"12\" devicenumber=\"77\" mark=\"new\"/></zone>"
                      "</building></project></root>");
    }

    void init()
    {
        m_journal = m_dir.filePath(QStringLiteral("journal-%1.db").arg(++m_run));
        m_recorder.setMode(CloudRecorder::Accept);
        m_recorder.clearPosts();
        restart(options());
    }

    void cleanup() { m_client.reset(); }

    void recordsWordsPaddingAndMarks()
    {
        feed(makeEvent(7, 1, "12345", "n1"));
        feed(makeEvent(7, 0, "12345"));
        feed(makeEvent(8, 0, "12345"));
        feed(makeEvent(2, 1, "12345"));
        feed(makeEvent(4, 1, "12345"));                 // not uploaded
        feed(makeEvent(1, 1, "030005"));
        feed(makeEvent(7115, 0, "1277"));
        feed(makeEvent(16, 1, "1234567890123"));
        QVERIFY(tickBatch(7));
        const CloudRecorder::Post &post = m_recorder.posts().last();
        QCOMPARE(post.method, QByteArray("POST"));
        QCOMPARE(post.path, QByteArray("/"));
        QCOMPARE(post.headers.value("content-type"), QByteArray("application/json"));
        QVERIFY(!post.headers.contains("authorization") && !post.headers.contains("x-signature")
                && !post.headers.contains("x-sub-name"));
        QCOMPARE(post.body, "[" + record("000000012345", "n1", "fault") + ","
                     + record("000000012345", "n", "fault_restore") + ","
                     + record("000000012345", "n", "enable") + "," + record("000000012345", "n", "") + ","
                     + record("000000030005", "M", "alarm") + "," + record("000000001277", "new", "MutualOpen_restore")
                     + "," + record("1234567890123", "n", "") + "]");

        // A time that cannot be read goes out as the time of arrival.
        LogCapture log;
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        feed(makeEvent(1, 1, "9", "n", "2024-13-01 08:00"));
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(tickBatch(1));
        const qint64 sent = QJsonDocument::fromJson(m_recorder.posts().last().body).array().at(0)
                                .toObject().value("eve_time").toVariant().toLongLong();
        QVERIFY(sent >= before && sent <= after);
        QCOMPARE(log.count("2024-13-01 08:00"), 1);
    }

    void heartbeatAfterElevenQuietTicks()
    {
        CloudPoster *poster = m_client->poster();
        for (int i = 0; i < 10; ++i)
            m_client->tick();
        QCOMPARE(poster->requestsStarted(), quint64(0));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        m_client->tick();
        QCOMPARE(poster->requestsStarted(), quint64(1));
        QTRY_COMPARE(m_recorder.postCount(), 1);
        const QJsonArray beat = QJsonDocument::fromJson(m_recorder.posts().last().body).array();
        QCOMPARE(beat.size(), 1);
        QJsonObject o = beat.at(0).toObject();
        const qint64 t = o.take("eve_time").toVariant().toLongLong();
        QVERIFY(t >= before && t <= QDateTime::currentMSecsSinceEpoch());
        QCOMPARE(o, (QJsonObject{{"eve_type", "beat"}, {"dev_id", "000000000000"}, {"dev_type", 0}, {"dev_info", ""}}));

        // A batch restarts the count: the next heartbeat is eleven ticks later.
        feed(makeEvent(1, 1, "1"));
        QVERIFY(tickBatch(1));
        for (int i = 0; i < 10; ++i)
            m_client->tick();
        QCOMPARE(poster->requestsStarted(), quint64(2));
        m_client->tick();
        QCOMPARE(poster->requestsStarted(), quint64(3));
    }

    void oneBatchInFlightAndTheResetRule()
    {
        CloudPoster *poster = m_client->poster();
        m_recorder.setMode(CloudRecorder::Hold);
        feed(makeEvent(7, 1, "1"));
        feed(makeEvent(7, 1, "2"));
        m_client->tick();
        QTRY_COMPARE(m_recorder.postCount(), 1);
        // Ticks while it is on its way start nothing.
        m_client->tick();
        m_client->tick();
        QCOMPARE(poster->requestsStarted(), quint64(1));
        QVERIFY(m_client->isSending());

        // A reset discards what waits, the held batch included; events that
        // arrive meanwhile survive that batch's success.
        feed(makeEvent(11, 1, "0"));
        feed(makeEvent(7, 1, "3"));
        QSignalSpy done(m_client.get(), &CHttpClient::batchFinished);
        m_recorder.release(true);
        QVERIFY(done.wait());
        QCOMPARE(done.first(), (QList<QVariant>{2, true}));
        QCOMPARE(m_client->pendingCount(), 2);
        m_recorder.setMode(CloudRecorder::Accept);
        QVERIFY(tickBatch(2));
        QCOMPARE(m_recorder.posts().last().body,
                 "[" + record("000000000000", "n", "reset") + "," + record("000000000003", "n", "fault") + "]");

        // An answer later than the limit counts as refused; the batch stays.
        CHttpClient::Options o = options();
        o.answerLimitMs = 200;
        restart(o);
        m_recorder.setMode(CloudRecorder::Hold);
        feed(makeEvent(7, 1, "5"));
        QSignalSpy late(m_client.get(), &CHttpClient::batchFinished);
        m_client->tick();
        QVERIFY(late.wait());
        QCOMPARE(late.first(), (QList<QVariant>{1, false}));
        QCOMPARE(m_client->pendingCount(), 1);
        m_recorder.setMode(CloudRecorder::Accept);
        QVERIFY(tickBatch(1));
    }

    void credentialsAndAddress()
    {
        QCOMPARE(CloudPoster::postUrl("10.1.2.3:8080").toString(), QString("http://10.1.2.3:8080/"));
        QCOMPARE(CloudPoster::postUrl("https://cloud.example/api/v1").toString(), QString("https://cloud.example/api/v1"));

        m_client.reset(new CHttpClient(m_recorder.address() + "/upload/v1", options()));
        m_client->setPostInfo("site-7", "user", "pa:ss", "sign-key");
        feed(makeEvent(1, 1, "1"));
        QVERIFY(tickBatch(1));
        const CloudRecorder::Post &post = m_recorder.posts().last();
        QCOMPARE(post.path, QByteArray("/upload/v1"));
        QCOMPARE(post.headers.value("authorization"), "Basic " + QByteArray("user:pa:ss").toBase64());
        QCOMPARE(post.headers.value("x-sub-name"), QByteArray("site-7"));
        QCOMPARE(post.headers.value("x-signature"),
                 QMessageAuthenticationCode::hash(post.body, "sign-key", QCryptographicHash::Sha256).toHex());
    }

    void refusedBatchWaitsInTheJournalAcrossRestarts()
    {
        m_recorder.setMode(CloudRecorder::Refuse, 503);
        for (const char *code : {"1", "2", "3"})
            feed(makeEvent(7, 1, code));
        QSignalSpy done(m_client.get(), &CHttpClient::batchFinished);
        m_client->tick();
        QVERIFY(done.wait());
        QCOMPARE(done.first(), (QList<QVariant>{3, false}));
        const QByteArray refused = m_recorder.posts().last().body;

        // A new start on the same journal: the three go out first, byte for
        // byte, with the newcomer behind them in the same batch.
        restart(options());
        QCOMPARE(m_client->pendingCount(), 3);
        feed(makeEvent(7, 1, "4"));
        m_recorder.setMode(CloudRecorder::Accept);
        QVERIFY(tickBatch(4));
        QCOMPARE(m_recorder.posts().last().body,
                 refused.chopped(1) + "," + record("000000000004", "n", "fault") + "]");

        // A backlog goes in bounded batches, one after the other, oldest first.
        CHttpClient::Options small = options();
        small.maxBatchEvents = 2;
        restart(small);
        for (const char *code : {"5", "6", "7", "8", "9"})
            feed(makeEvent(7, 1, code));
        QSignalSpy batches(m_client.get(), &CHttpClient::batchFinished);
        m_client->tick();
        QTRY_COMPARE(batches.size(), 3);
        QCOMPARE(m_recorder.posts().last().body, "[" + record("000000000009", "n", "fault") + "]");
        QCOMPARE(m_client->pendingCount(), 0);

        // Delivered is delivered: the next start has nothing to send.
        restart(options());
        QCOMPARE(m_client->pendingCount(), 0);
        m_client->tick();
        QCOMPARE(m_client->poster()->requestsStarted(), quint64(0));
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_chttpclient.moc"
