// FIXED_PORTS_TEST: runs the real executable, which takes the family port:
// a second copy, and each of the service ports taken by someone else.
#include "common/centrepeer.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>

class TestStartup : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QProcess *start()
    {
        auto *p = new QProcess(this);
        p->setWorkingDirectory(m_dir.path());
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(QStringLiteral(FIRE_BINARY_DIR "/fireserver"), {"--headless", "--app-dir", m_dir.path()});
        return p;
    }

    QString logText()
    {
        QString all;
        for (const QString &name : QDir(m_dir.filePath("Log")).entryList(QDir::Files)) {
            QFile f(m_dir.filePath("Log/" + name));
            f.open(QIODevice::ReadOnly);
            all += QTextCodec::codecForName("gb2312")->toUnicode(f.readAll());
        }
        return all;
    }

private slots:
    // A test that failed half-way must not leave its server holding the ports.
    void cleanup()
    {
        for (QProcess *p : findChildren<QProcess *>()) {
            p->kill();
            p->waitForFinished(5000);
            delete p;
        }
    }

    void secondCopyIsRefusedAndFirstKeepsRunning()
    {
        QVERIFY(QDir(m_dir.path()).mkdir("Log"));
        QProcess *first = start();
        QVERIFY(first->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("fireserver started"), 10000);
        QFile lock(m_dir.filePath("crt.lock"));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QByteArray("1"));

        QProcess *second = start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QVERIFY(logText().contains(QStringLiteral("服务器已经运行")));
        QCOMPARE(first->state(), QProcess::Running);

        ::kill(pid_t(first->processId()), SIGTERM);
        QVERIFY(first->waitForFinished(5000));
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);
        QVERIFY(logText().contains("fireserver stopped"));
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
        QDir(m_dir.path()).mkpath("Log");
        QFile ini(m_dir.filePath("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[Server]\nisHaveModbus=1\n") > 0);
        ini.close();
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        QVERIFY(port == 9040 ? udpHolder.bind(QHostAddress::Any, 9040, QUdpSocket::DontShareAddress)
                             : tcpHolder.listen(QHostAddress::Any, quint16(port)));
        const int before = logText().size();
        QProcess *server = start();
        QTRY_VERIFY_WITH_TIMEOUT(logText().mid(before).contains("server started:"), 10000);
        const QString log = logText().mid(before);
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
        QCOMPARE(server->state(), QProcess::Running);
        ::kill(pid_t(server->processId()), SIGTERM);
        QVERIFY(server->waitForFinished(5000));
        QCOMPARE(server->exitCode(), 0);
    }

    void takenCentrePortEndsTheServerQuietly()
    {
        QDir(m_dir.path()).mkpath("Log");
        // Whoever holds 2009 (this test, or a server the lock does not cover)
        // looks to the new copy like a running server.
        QTcpServer holder;
        holder.listen(QHostAddress::Any, 2009);
        const int before = logText().size();
        QProcess *second = start();
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        const QString log = logText().mid(before);
        QVERIFY(log.contains(QStringLiteral("不能同时运行两个实例，可能系统已经运行.")));
        QVERIFY(!log.contains("server started:"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
