// Transmission to monitoring centres over real loopback sockets: lines,
// heartbeats, dropped centres, the link state told to clients and lamps, and
// a centre that stops reading.

#include "common/centrepeer.h"

#include "config/configtables.h"
#include "core/servercontext.h"
#include "remote/remoteserver.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {
CEvent panelEvent(int type, int code, const QString &device, int property = 1)
{
    CEvent e;
    e.nPanelID = 3;
    e.nPanelType = 22;
    e.nEventCode = code;
    ConfigTables::instance().complete(e); // as the panel manager passes it on
    e.nEventType = type;
    e.nEventProperty = property;
    e.strCode = device;
    return e;
}

QList<int> lights(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).value<uchar>();
    return out;
}
} // namespace

class TestRemoteServer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<RemoteServer> m_server;
    QList<int> m_notices; // 2 RemoteOK, 3 RemoteFailed, as the clients were told
    int m_clients = 0;    // clients the notice pretends to reach

    // 1000 lines of 8 kB, 8 MB in all: more than the kernel holds for a
    // centre that reads nothing (a 4 MB send buffer at most, and a window
    // that does not grow unread). Paced by the centre that reads.
    void flood(CentrePeer &reader, const std::function<QString(int)> &line)
    {
        for (int i = 0; i < 1000; i += 25) {
            for (int j = i; j < i + 25; ++j)
                m_server->broadcastToRemote(line(j));
            QTRY_COMPARE_WITH_TIMEOUT(reader.lineCount(), i + 25, 10000);
        }
    }

    void startServer(int idleMs, int answerMs = 3000, int writeStallMs = 60000, int linePauseMs = 1)
    {
        RemoteServer::Options o;
        o.linePauseMs = linePauseMs;
        o.idleMs = idleMs;
        o.answerMs = answerMs;
        o.writeStallMs = writeStallMs;
        o.failureCheckMs = 2000;
        o.failureGuardMs = 1990;
        o.maxQueuedLines = 50;
        m_server.reset(new RemoteServer(o));
        m_server->setClientNotice([this](int type) {
            m_notices << type;
            return m_clients;
        });
        QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(ConfigTables::instance().loadEventTable(writeRemoteEventTable(m_dir.path())));
        ServerContext &ctx = ServerContext::instance();
        ctx.remoteAccept = true;
        ctx.serverAddress = QHostAddress(QStringLiteral("10.1.2.3"));
    }

    void init()
    {
        m_notices.clear();
        m_clients = 0;
    }

    void cleanup()
    {
        m_server.reset();
        QCOMPARE(ServerContext::instance().remoteQueues.size(), 0);
    }

    void centresGetEveryLineInOrderAndHeartbeats()
    {
        startServer(100);
        QSignalSpy light(m_server.get(), &RemoteServer::indicateRemoteLight);
        // Nobody connected: the lamp still shows transmission, the line is gone.
        m_server->newDataToSend(panelEvent(1, 21, "x"));
        QCOMPARE(lights(light), QList<int>{2});
        light.clear();

        CentrePeer a, b;
        QVERIFY(a.connectTo(m_server->serverPort()) && b.connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, (QList<int>{2, 2}));
        QTRY_VERIFY(a.heartbeats() >= 1 && b.heartbeats() >= 1);
        // No client to tell: the link going up leaves the lamp alone.
        QVERIFY(lights(light).isEmpty());

        for (int i = 0; i < 40; ++i) {
            m_server->newDataToSend(panelEvent(1, 21, QStringLiteral("dev%1").arg(i)));
            // Neither class 0 nor a code the table lacks makes a line or a light.
            m_server->newDataToSend(panelEvent(0, 21, "class0"));
            m_server->newDataToSend(panelEvent(1, 999, "nocode"));
        }
        m_server->newDataToSend(panelEvent(17, 17, "comm", 0));
        m_server->newDataToSend(panelEvent(17, 17, "comm", 1));
        QCOMPARE(lights(light), QVector<int>(42, 2).toList());

        for (CentrePeer *c : {&a, &b}) {
            QTRY_COMPARE_WITH_TIMEOUT(c->lineCount(), 42, 10000);
            const QStringList lines = c->lines();
            for (int i = 0; i < 40; ++i) {
                const QStringList f = lines.at(i).split(QStringLiteral("||"));
                QCOMPARE(f.mid(0, 3), (QStringList{"DeviceData", QStringLiteral("火灾报警系统"),
                                                   QStringLiteral("火灾报警系统3设备dev%1:火警").arg(i)}));
                QVERIFY(QDateTime::fromString(f.at(3), "yyyy-MM-dd HH:mm:ss").isValid());
                QCOMPARE(f.mid(4), (QStringList{"10.1.2.3", "3", "0"}));
            }
            QVERIFY(lines.at(40).contains(QStringLiteral("3设备comm:控制器通讯 正常||")));
            QVERIFY(lines.at(41).contains(QStringLiteral("3设备comm:控制器通讯 故障||")));
        }
        // The first heartbeat after the lines turns the lamp back to idle.
        const int beats = a.heartbeats();
        QTRY_VERIFY(a.heartbeats() > beats && lights(light).contains(1));
        QVERIFY(!a.isClosed() && !b.isClosed());
    }

    void pacedCentreGetsLinesNoFasterThanThePause()
    {
        // Lines go by deadline, not by a sleep after each write; the
        // schedule must still hold every line back to its turn.
        const int pauseMs = 40;
        const int n = 12;
        startServer(5000, 3000, 60000, pauseMs);
        CentrePeer c;
        QVERIFY(c.connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, QList<int>{2});
        for (int i = 0; i < n; ++i)
            m_server->broadcastToRemote(QStringLiteral("line%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(c.lineCount(), n, 10000);
        QList<qint64> at;
        for (int i = 0; i < c.frames.size(); ++i)
            if (c.frames.at(i) != "a")
                at << c.frameMs.at(i);
        // The first arrival may be seen late by this thread; one pause of slack.
        for (int k = 1; k < n; ++k)
            QVERIFY2(at.at(k) - at.at(0) >= qint64(k - 1) * pauseMs,
                     qPrintable(QStringLiteral("line %1 after %2 ms").arg(k).arg(at.at(k) - at.at(0))));
        QCOMPARE(c.lines().last(), QStringLiteral("line%1").arg(n - 1));
    }

    void silentCentreIsDroppedAfterIdleAndAnswerWait()
    {
        startServer(3000, 500); // idle far above the pace of the lines, even on a loaded machine
        CentrePeer c;
        c.answer = false;
        QVERIFY(c.connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, QList<int>{2});
        // While lines keep coming no heartbeat is due and no answer needed.
        for (int i = 0; i < 10; ++i) {
            m_server->broadcastToRemote(QStringLiteral("line %1").arg(i));
            QTRY_COMPARE(c.lineCount(), i + 1);
            QTest::qWait(50); // the pace of the events
        }
        const qint64 lastLine = c.frameMs.last();
        QTRY_VERIFY_WITH_TIMEOUT(c.isClosed(), 10000);
        QCOMPARE(c.heartbeats(), 1);
        QCOMPARE(c.frames.last(), QByteArray("a"));
        QVERIFY2(c.closedMs - lastLine >= 3400, qPrintable(QString::number(c.closedMs - lastLine)));
        QTRY_COMPARE(m_server->centreCount(), 0);
    }

    void linkFailsOnlyAfterTheCheckPeriodWithoutCentre()
    {
        startServer(100);
        m_clients = 1;
        QSignalSpy light(m_server.get(), &RemoteServer::indicateRemoteLight);
        ServerContext &ctx = ServerContext::instance();

        // A drops, B comes back before the check: one "RemoteOK" each, no failure.
        auto a = std::make_unique<CentrePeer>();
        QVERIFY(a->connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, QList<int>{2});
        QCOMPARE(lights(light), QList<int>{1});
        a.reset();
        QTRY_COMPARE(m_server->centreCount(), 0);
        auto b = std::make_unique<CentrePeer>();
        QVERIFY(b->connectTo(m_server->serverPort()));
        // Heartbeats for longer than the check period: A's check has run.
        QTRY_VERIFY_WITH_TIMEOUT(b->heartbeats() >= 25, 20000);
        QCOMPARE(m_notices, (QList<int>{2, 2}));
        QVERIFY(ctx.remoteLinkOk);

        // B drops; C, with no client to tell, connects and drops well inside
        // B's check period: B's check finds C's drop too recent, C's own
        // check reports the loss, and the lamp goes to "lost" all the same.
        m_clients = 0;
        b.reset();
        QTRY_COMPARE(m_server->centreCount(), 0);
        light.clear();
        auto c = std::make_unique<CentrePeer>();
        QVERIFY(c->connectTo(m_server->serverPort()));
        QTRY_VERIFY(c->heartbeats() >= 5);
        c.reset();
        QTRY_COMPARE(m_server->centreCount(), 0);
        QElapsedTimer sinceLastDrop;
        sinceLastDrop.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_notices, (QList<int>{2, 2, 2, 3}), 10000);
        QVERIFY2(sinceLastDrop.elapsed() >= 1700, qPrintable(QString::number(sinceLastDrop.elapsed())));
        QCOMPARE(lights(light), QList<int>{0});
        QVERIFY(!ctx.remoteLinkOk);
    }

    void centreThatStopsReadingLosesItsOldestLinesAlone()
    {
        startServer(1000);
        CentrePeer slow, good, stuck;
        slow.pause();
        stuck.pause(); // and never reads again
        QVERIFY(slow.connectTo(m_server->serverPort()) && good.connectTo(m_server->serverPort())
                && stuck.connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, (QList<int>{2, 2, 2}));

        const auto tag = [](int i) { return QStringLiteral("%1 ").arg(i, 4, 10, QLatin1Char('0')); };
        const int total = 1000;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("takes no lines: 50 lines wait"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("takes no lines: 50 lines wait"));
        flood(good, [&](int i) { return tag(i) + QString(8000, QLatin1Char('.')); });
        if (QTest::currentTestFailed())
            return;
        const QStringList all = good.lines();
        for (int i = 0; i < total; ++i)
            QVERIFY(all.at(i).startsWith(tag(i)));

        // Reading again, the slow centre gets its early lines, a gap, and the newest 50.
        slow.resume();
        QTRY_VERIFY_WITH_TIMEOUT(slow.lastLine().startsWith(tag(total - 1)), 20000);
        const QStringList got = slow.lines();
        QVERIFY2(got.size() >= 50 && got.size() < total, qPrintable(QString::number(got.size())));
        for (int i = 1; i < got.size(); ++i)
            QVERIFY(got.at(i - 1) < got.at(i));
        QVERIFY(got.at(got.size() - 50).startsWith(tag(total - 50)));

        // The server stops at once, though a worker waits in a write that
        // the stuck centre will never take.
        QElapsedTimer t;
        t.start();
        m_server.reset();
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    }

    void centreThatTakesNoByteIsDroppedAfterTheStall()
    {
        startServer(1000, 3000, 1500);
        CentrePeer stuck, good;
        stuck.pause();
        QVERIFY(stuck.connectTo(m_server->serverPort()) && good.connectTo(m_server->serverPort()));
        QTRY_COMPARE(m_notices, (QList<int>{2, 2}));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("takes no lines: 50 lines wait"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("took no byte for 1500 ms - connection dropped"));
        flood(good, [](int) { return QString(8000, QLatin1Char('.')); });
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(m_server->centreCount(), 1, 10000);
        // The other centre is served on.
        m_server->broadcastToRemote(QStringLiteral("after"));
        QTRY_COMPARE(good.lastLine(), QStringLiteral("after"));
    }
};

QTEST_GUILESS_MAIN(TestRemoteServer)
#include "tst_remoteserver.moc"
