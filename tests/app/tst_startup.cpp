// FIXED_PORTS_TEST: runs the real executable, which takes the family port.
#include <QTcpServer>
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
