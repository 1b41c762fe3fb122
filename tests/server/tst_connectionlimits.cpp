// The client listener against peers that would use up the server's
// descriptors: bounds per address and in total (where connections without a
// login make room for newcomers), and a listener that keeps accepting after
// the system refused it a descriptor.

#include "clients/clientaccounts.h"
#include "core/apppaths.h"
#include "core/connectionlimits.h"
#include "server/fireserver.h"
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
    }

    void boundsPerAddressAndInTotal()
    {
        FireServer::Options options;
        options.clientPort = options.centrePort = options.queryPort = 0;
        FireServer server(options);
        QVERIFY(server.start());
        const quint16 port = server.clientListener()->serverPort();

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("127.0.0.2 has 3 connections open"));
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int i = 0; i < 5; ++i) {
            peers.push_back(connectFrom(port, "127.0.0.2"));
            QVERIFY(peers.back());
        }
        QTRY_COMPARE(server.clients().size(), 3);
        // The two beyond the bound were closed by the server; one log line.
        QTRY_VERIFY(peers[3]->state() == QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(peers[4]->state() == QAbstractSocket::UnconnectedState);

        // Another address gets in up to the total. Then the oldest
        // connection without a login gives its place to each newcomer (one
        // log line for the episode); a logged-in one keeps its own.
        auto b1 = connectFrom(port, "127.0.0.3");
        auto b2 = connectFrom(port, "127.0.0.3");
        QVERIFY(b1 && b2);
        QTRY_COMPARE(server.clients().size(), 5);
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("op"), QStringLiteral("pw"), QStringLiteral("Local")));
        b1->write("{\"b\": \"LOGIN\", \"t\": \"op\", \"u\": \"pw\"}\n");
        QByteArray reply;
        QTRY_VERIFY((reply += b1->readAll()).contains("LogOK_Mulsys"));
        LogCapture log;
        std::vector<std::unique_ptr<QTcpSocket>> newcomers;
        for (const char *from : {"127.0.0.4", "127.0.0.4", "127.0.0.4", "127.0.0.5"}) {
            newcomers.push_back(connectFrom(port, from));
            QVERIFY(newcomers.back());
            QTRY_COMPARE(server.clientConnectionsEvicted(), int(newcomers.size()));
        }
        for (QTcpSocket *gone : {peers[0].get(), peers[1].get(), peers[2].get(), b2.get()})
            QTRY_VERIFY(gone->state() == QAbstractSocket::UnconnectedState);
        QVERIFY(b1->state() == QAbstractSocket::ConnectedState);
        QCOMPARE(server.clients().size(), 5);
        QCOMPARE(log.count("gives its place"), 1);
        QCOMPARE(log.count("without a login (127.0.0.2)"), 1);

        // A closed connection frees its place.
        newcomers[0]->abort();
        QTRY_COMPARE(server.clients().size(), 4);
        auto again = connectFrom(port, "127.0.0.2");
        QVERIFY(again);
        QTRY_COMPARE(server.clients().size(), 5);
        QCOMPARE(server.clientConnectionsEvicted(), 4);
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
