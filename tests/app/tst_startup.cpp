// FIXED_PORTS_TEST: runs the real executable, which takes the family port:
// a second copy, and each of the service ports taken by someone else.
#include "common/centrepeer.h"
#include "common/sitekit.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
    QScopedPointer<SiteKit> m_site;

private slots:
    void init()
    {
        m_site.reset(new SiteKit);
        QVERIFY(QDir(m_site->dir()).mkdir("Log"));
    }
    // A test that failed half-way must not leave its server holding the ports.
    void cleanup() { m_site.reset(); }

    void secondCopyIsRefusedAndFirstKeepsRunning()
    {
        QVERIFY(m_site->start("fireserver started", 10000));
        QProcess *first = m_site->server();
        QFile lock(m_site->path("crt.lock"));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QByteArray("1"));

        QProcess *second = m_site->launch();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(m_site->log().contains(QStringLiteral("服务器已经运行")));
        QCOMPARE(first->state(), QProcess::Running);

        QVERIFY(m_site->terminate(first, 5000) >= 0);
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);
        QVERIFY(m_site->log().contains("fireserver stopped"));
    }

    // Any other taken port: that service is missing, logged, and the rest runs.
    void takenServicePortLeavesTheRestRunning_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("logged");
        QTest::newRow("clients 5999") << 5999 << "client port 5999 unavailable";
        QTest::newRow("queries 2000") << 2000 << "query port 2000 unavailable";
        QTest::newRow("Modbus 9040") << 9040 << "ModbusDevice bind fail 9040";
    }
    void takenServicePortLeavesTheRestRunning()
    {
        QFETCH(int, port);
        QFETCH(QString, logged);
        QVERIFY(m_site->writeIni("[Server]\nisHaveModbus=1\n"));
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        QVERIFY(port == 9040 ? udpHolder.bind(QHostAddress::Any, 9040, QUdpSocket::DontShareAddress)
                             : tcpHolder.listen(QHostAddress::Any, quint16(port)));
        QVERIFY(m_site->start("server started:", 10000));
        const QString log = m_site->startLog();
        QVERIFY2(log.contains(logged), qPrintable(log));

        // The centre port answers; so do the clients', unless it was the one taken.
        CentrePeer centre;
        QVERIFY(centre.connectTo(2009));
        QTRY_VERIFY_WITH_TIMEOUT(centre.heartbeats() >= 1, 10000);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, 5999);
        if (port != 5999) {
            QVERIFY(client.waitForConnected(5000));
            client.write("{\"b\":\"GETREMOTE\"}");
            QByteArray reply;
            QTRY_VERIFY((reply += client.readAll()).contains("RemoteOK")); // the centre above is the link
        }
        QVERIFY(m_site->running());
        QVERIFY(m_site->terminate(nullptr, 5000) >= 0);
        QCOMPARE(m_site->server()->exitCode(), 0);
    }

    void takenCentrePortEndsTheServerQuietly()
    {
        // Whoever holds 2009 (this test, or a server the lock does not cover)
        // looks to the new copy like a running server.
        QTcpServer holder;
        holder.listen(QHostAddress::Any, 2009);
        QProcess *second = m_site->launch();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        const QString log = m_site->startLog();
        QVERIFY(log.contains(QStringLiteral("不能同时运行两个实例，可能系统已经运行.")));
        QVERIFY(!log.contains("server started:"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
