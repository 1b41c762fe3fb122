// The client listener against peers that would use up the server's
// descriptors: bounds per address and in total (where connections without a
// login make room for newcomers), and a listener that keeps accepting after
// the system refused it a descriptor.

#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "clients/cclient.h"
#include "core/apppaths.h"
#include "core/connectionlimits.h"
#include "server/fireserver.h"
#include "common/sitekit.h"
#include "common/testfiles.h"

#include <QRegularExpression>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

class TestConnectionLimits : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    static std::unique_ptr<QTcpSocket> connectFrom(quint16 port, const char *from)
    {
        auto s = std::make_unique<QTcpSocket>();
        s->bind(QHostAddress(QString::fromLatin1(from)), 0);
        s->connectToHost(QHostAddress::LocalHost, port);
        return s->waitForConnected(5000) ? std::move(s) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        QFile ini(m_dir.filePath("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Server]\nmaxConnectionsPerAddress=3\nmaxConnections=5\n");
        QVERIFY(TestFiles::write(m_dir.filePath("EventConfig.xml"), R"(<Config><EventType>
  <DevEvent EventData="3"><E ComData="1" EventData="11" EventProperty="1"/></DevEvent>
</EventType></Config>)"));
    }

    // Logs in and waits, the server running meanwhile (it shares this thread).
    static bool loginAs(QTcpSocket *s, const char *user, const char *password)
    {
        s->write(QByteArray("{\"b\": \"LOGIN\", \"t\": \"") + user + "\", \"u\": \"" + password + "\"}\n");
        QByteArray reply;
        return QTest::qWaitFor([&] { return (reply += s->readAll()).contains("LogOK_Mulsys"); }, 5000);
    }

    void idleConnectionsGiveWayPerAddressAndInTotal()
    {
        FireServer server(Site::freePorts());
        QVERIFY(server.start());
        const quint16 port = server.clientListener()->serverPort();
        LogCapture log;

        // An address at its bound: its oldest idle connection makes room for
        // each newcomer from it (one log line for the episode).
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int i = 0; i < 5; ++i) {
            peers.push_back(connectFrom(port, "127.0.0.2"));
            QVERIFY(peers.back());
            QTRY_COMPARE(server.clients().size(), qMin(i + 1, 3));
        }
        QTRY_COMPARE(server.clientConnectionsEvicted(), 2);
        QTRY_VERIFY(peers[0]->state() == QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(peers[1]->state() == QAbstractSocket::UnconnectedState);
        QCOMPARE(log.count("127.0.0.2 has all its 3 places taken"), 1);

        // The whole port full: the oldest connection without a login, from
        // any address, gives its place; a logged-in one keeps its own.
        auto b1 = connectFrom(port, "127.0.0.3");
        auto b2 = connectFrom(port, "127.0.0.3");
        QVERIFY(b1 && b2);
        QTRY_COMPARE(server.clients().size(), 5);
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op"), QStringLiteral("pw"), QStringLiteral("Local")));
        QVERIFY(loginAs(b1.get(), "op", "pw"));
        std::vector<std::unique_ptr<QTcpSocket>> newcomers;
        for (const char *from : {"127.0.0.4", "127.0.0.4", "127.0.0.4", "127.0.0.5"}) {
            newcomers.push_back(connectFrom(port, from));
            QVERIFY(newcomers.back());
            QTRY_COMPARE(server.clientConnectionsEvicted(), 2 + int(newcomers.size()));
        }
        for (QTcpSocket *gone : {peers[2].get(), peers[3].get(), peers[4].get(), b2.get()})
            QTRY_VERIFY(gone->state() == QAbstractSocket::UnconnectedState);
        QVERIFY(b1->state() == QAbstractSocket::ConnectedState);
        QCOMPARE(server.clients().size(), 5);
        QCOMPARE(log.count("all 5 places taken"), 1);
        QCOMPARE(log.count("without a login (127.0.0.2)"), 1);

        // A closed connection frees its place.
        newcomers[0]->abort();
        QTRY_COMPARE(server.clients().size(), 4);
        auto again = connectFrom(port, "127.0.0.2");
        QVERIFY(again);
        QTRY_COMPARE(server.clients().size(), 5);
        QCOMPARE(server.clientConnectionsEvicted(), 6);
        server.shutdown();
    }

    void operatorGetsInPastAnIdleFloodFromItsOwnAddress()
    {
        QVERIFY(TestFiles::write(m_dir.filePath("config.ini"), "[Server]\nmaxConnectionsPerAddress=64\n"));
        FireServer server(Site::freePorts());
        QVERIFY(server.start());
        const quint16 port = server.clientListener()->serverPort();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("127.0.0.1 has all its 64 places taken"));
        std::vector<std::unique_ptr<QTcpSocket>> flood;
        for (int i = 0; i < 100; ++i) {
            flood.push_back(connectFrom(port, "127.0.0.1"));
            QVERIFY(flood.back());
            QTRY_COMPARE(server.clients().size() + server.clientConnectionsEvicted(), i + 1);
        }
        QCOMPARE(server.clientConnectionsEvicted(), 36);
        auto op = connectFrom(port, "127.0.0.1");
        QVERIFY(op);
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op2"), QStringLiteral("pw"), QStringLiteral("Local")));
        QVERIFY(loginAs(op.get(), "op2", "pw"));
        QTRY_VERIFY(server.clients().last()->isLoggedIn());
        CEvent alarm;
        alarm.nPanelID = 1;
        alarm.nEventCode = 1;
        alarm.nEventProperty = 1;
        alarm.strCode = QStringLiteral("01020304");
        server.dispatcher()->handleEvent(alarm);
        QByteArray seen;
        QTRY_VERIFY((seen += op->readAll()).contains("NewEvent"));
        QVERIFY(seen.contains("01020304"));
        server.shutdown();
    }

    void listenerAcceptsAgainAfterRunningOutOfDescriptors()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        AcceptGuard guard(&listener, QStringLiteral("test port"), 50);
        std::vector<QTcpSocket *> accepted;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = listener.nextPendingConnection())
                accepted.push_back(s);
        });

        // Six peers wait in the kernel's backlog; then this process is left
        // two descriptors above its highest one, so accepting soon fails.
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int i = 0; i < 6; ++i) {
            peers.push_back(std::make_unique<QTcpSocket>());
            peers.back()->connectToHost(QHostAddress::LocalHost, listener.serverPort());
            QVERIFY(peers.back()->waitForConnected(5000));
        }
        int highest = 0;
        for (const QString &fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System))
            highest = qMax(highest, fd.toInt());
        // Fill the holes below it, so exactly two numbers stay free.
        std::vector<int> fillers;
        for (;;) {
            const int fd = ::dup(0);
            if (fd < 0)
                break;
            if (fd > highest) {
                ::close(fd);
                break;
            }
            fillers.push_back(fd);
        }
        rlimit old{};
        QVERIFY(getrlimit(RLIMIT_NOFILE, &old) == 0);
        rlimit tight = old;
        tight.rlim_cur = rlim_t(highest + 3);
        QVERIFY(setrlimit(RLIMIT_NOFILE, &tight) == 0);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("test port: accepting a connection failed"));
        QTRY_VERIFY(accepted.size() >= 1);
        QTest::qWait(200); // several resume attempts, each failing again
        QVERIFY(accepted.size() < 6);

        // Descriptors free again: the waiting connections are taken, and new
        // ones too (a listener left paused would take none of them).
        QVERIFY(setrlimit(RLIMIT_NOFILE, &old) == 0);
        for (int fd : fillers)
            ::close(fd);
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 6, 5000);
        auto late = std::make_unique<QTcpSocket>();
        late->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 7, 5000);
        qDeleteAll(accepted);
    }
};

QTEST_GUILESS_MAIN(TestConnectionLimits)
#include "tst_connectionlimits.moc"
