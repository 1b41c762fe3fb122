// FIXED_PORTS_TEST: the real executable with the DC-09 transmission on and
// its centre away. Killed with SIGKILL while alarms wait in its journal and
// started again once the centre is back, it sends them all, in order, once.

#include "common/testfiles.h"
#include "gateways/journal.h"
#include "tools/sim/dc09receiver.h"

#include <QTextCodec>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {
const QString kServer = QStringLiteral(FIRE_BINARY_DIR "/fireserver");
constexpr int kAlarms = 5;
} // namespace

class TestDc09Restart : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    QString logText() const
    {
        QString all;
        const QDir logs(path("Log"));
        for (const QString &name : logs.entryList(QDir::Files))
            all += QTextCodec::codecForName("gb2312")->toUnicode(TestFiles::read(logs.filePath(name)));
        return all;
    }

    void startServer()
    {
        m_server.reset(new QProcess);
        m_server->setWorkingDirectory(m_dir.path());
        m_server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QFile::remove(path("Log/" + QDir(path("Log")).entryList(QDir::Files).value(0)));
        m_server->start(kServer, {"--headless", "--app-dir", m_dir.path()});
        QVERIFY(m_server->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("DC-09: SIA-DCS account 1234") || m_server->state() != QProcess::Running,
                                 10000);
        QVERIFY2(m_server->state() == QProcess::Running, qPrintable(logText()));
    }

    int journaled() const
    {
        Journal j;
        j.open(path("ArcJournal.db"));
        return j.count();
    }

private slots:
    void killedWithAlarmsWaitingSendsThemAfterRestart()
    {
        QVERIFY(QDir(m_dir.path()).mkdir("Log"));
        for (const char *name : {"EventConfig.xml", "SysSet.xml", "ArcCodes.xml"})
            QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/") + name, path(name)));
        Dc09Receiver centre;
        QVERIFY(centre.listen());
        const quint16 port = centre.port();
        centre.close();
        QVERIFY(TestFiles::write(path("config.ini"),
                                 QStringLiteral("[Server]\nisHaveModbus=1\n[Arc]\nenabled=1\naccount=1234\n"
                                                "primary=127.0.0.1:%1\nackTimeout=1\nretries=0\n")
                                     .arg(port)
                                     .toUtf8()));
        STEP(startServer());
        QUdpSocket modbus;
        for (int i = 1; i <= kAlarms; ++i)
            modbus.writeDatagram(QStringLiteral("{\"msg\":\"MB0000%1XYZ\",\"type\":0}").arg(i, 3, 10, QLatin1Char('0')).toUtf8(),
                                 QHostAddress::LocalHost, 9040);
        QTRY_COMPARE_WITH_TIMEOUT(journaled(), kAlarms, 10000);
        ::kill(pid_t(m_server->processId()), SIGKILL);
        QVERIFY(m_server->waitForFinished(5000));

        QVERIFY(centre.listen(port));
        STEP(startServer());
        QByteArrayList expected;
        for (int i = 1; i <= kAlarms; ++i)
            expected << "#1234|Nri1/FA" + QByteArray::number(i).rightJustified(3, '0');
        QTRY_COMPARE_WITH_TIMEOUT(centre.count(), kAlarms, 15000);
        QByteArrayList got;
        for (const Dc09Receiver::Received &r : centre.received()) {
            QCOMPARE(r.answer, QByteArray("ACK"));
            got << r.message.data;
        }
        QCOMPARE(got, expected);
        ::kill(pid_t(m_server->processId()), SIGTERM);
        QVERIFY(m_server->waitForFinished(10000));
        QCOMPARE(centre.count(), kAlarms);
        QCOMPARE(journaled(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDc09Restart)
#include "tst_dc09restart.moc"
