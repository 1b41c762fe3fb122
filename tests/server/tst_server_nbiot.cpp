// The server object with the NB-IoT receiver switched on: a detector alarm
// posted with curl reaches the dispatcher first and then the event log view.
#include "clients/ceventprocess.h"
#include "common/httptestclient.h"
#include "core/apppaths.h"
#include "gateways/nbdevice.h"
#include "server/fireserver.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

class EventLogView : public QObject
{
    Q_OBJECT
public:
    QSignalSpy *dispatched = nullptr;
    QList<int> dispatchedBefore; // per logged event: dispatcher events seen by then
public slots:
    void slotShowEventLog(QVariant) { dispatchedBefore << dispatched->count(); }
};

class TestServerNBIoT : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    void writeFile(const QString &name, const QByteArray &content)
    {
        QFile f(m_dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"EventConfig.xml", "SysSet.xml"})
            QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/") + name, m_dir.filePath(name)));
        writeFile("httpConfig.ini", "[listener]\nhost=127.0.0.1\nport=0\n");
        AppPaths::setAppDir(m_dir.path());
    }

    void receiverWiredWhenSwitchedOn_data()
    {
        QTest::addColumn<QByteArray>("isHaveNB");
        QTest::newRow("on") << QByteArray("1");
        QTest::newRow("2 is off") << QByteArray("2");
    }
    void receiverWiredWhenSwitchedOn()
    {
        QFETCH(QByteArray, isHaveNB);
        writeFile("config.ini", "[Server]\nisHaveNB=" + isHaveNB + "\n");
        FireServer::Options options;
        options.clientPort = options.centrePort = options.queryPort = 0;
        FireServer server(options);
        EventLogView view;
        server.start(&view);
        if (isHaveNB != "1") {
            QVERIFY(!server.nbDevice());
            return;
        }
        QVERIFY(server.nbDevice() && server.nbDevice()->serverPort());
        QSignalSpy dispatched(server.dispatcher(), &CEventProcess::receiveEvent);
        view.dispatched = &dispatched;
        const HttpTest::CurlResult r = HttpTest::curl(
            {"--data-binary", "@" FIRE_SOURCE_DIR "/tools/nbiot/dev_alarm.json",
             QStringLiteral("http://127.0.0.1:%1/postData").arg(server.nbDevice()->serverPort())});
        QCOMPARE(r.out, QByteArray("{\"err_code\":0,\"err_msg\":\"\"}"));
        QTRY_COMPARE(view.dispatchedBefore, QList<int>{1});
        const CEvent e = CEvent::fromVariant(dispatched.first().at(0));
        QCOMPARE(e.strCode, QStringLiteral("863703030512345"));
        server.shutdown();
        QVERIFY(!server.nbDevice());
    }

    // Without httpConfig.ini the server starts all the same.
    void missingConfigFile()
    {
        QVERIFY(QFile::remove(m_dir.filePath("httpConfig.ini")));
        writeFile("config.ini", "[Server]\nisHaveNB=1\n");
        FireServer::Options options;
        options.clientPort = options.centrePort = options.queryPort = 0;
        FireServer server(options);
        server.start();
        QVERIFY(server.isRunning() && server.clientListener()->isListening());
        QCOMPARE(server.nbDevice()->serverPort(), quint16(0));
    }
};

QTEST_GUILESS_MAIN(TestServerNBIoT)
#include "tst_server_nbiot.moc"
