// FIXED_PORTS_TEST: the real executable stopped in the middle of heavy
// traffic: a Modbus flood, NB-IoT posts, logged-in clients, a centre and the
// cloud upload all busy. SIGTERM leaves every file whole and readable; after
// SIGKILL and a restart the cloud journal sends what it held, in order, once.
#include "clients/clientaccounts.h"
#include "clients/jsonsplitter.h"
#include "common/centrepeer.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "gateways/journal.h"
#include "tools/sim/cloudrecorder.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

namespace {
constexpr int kClients = 8;
constexpr int kModbusFlood = 60000;
} // namespace

namespace {

// Modbus device texts "MB0000000000", "MB0000000001", ...: their order is
// the order the flood sent them in.
QString modbusDevice(int n)
{
    return QStringLiteral("MB%1").arg(n, 10, 10, QLatin1Char('0'));
}
int modbusNumber(const QString &device)
{
    return device.startsWith(QLatin1String("MB")) ? device.mid(2).toInt() : -1;
}

// Numbers of the Modbus devices among upload records, in their order.
QList<int> modbusNumbers(const QList<QJsonObject> &records)
{
    QList<int> out;
    for (const QJsonObject &r : records) {
        const int n = modbusNumber(r.value("dev_id").toString());
        if (n >= 0)
            out << n;
    }
    return out;
}

bool consecutive(const QList<int> &numbers)
{
    for (int i = 1; i < numbers.size(); ++i) {
        if (numbers.at(i) != numbers.at(i - 1) + 1)
            return false;
    }
    return true;
}

// A logged-in client program that reads every message it is sent.
struct Client
{
    QTcpSocket socket;
    QByteArray buffer;
    JsonSplitter splitter;
    bool loggedIn = false; // and the login's backlog is behind it
    QStringList devices;   // of each NewEvent, in arrival order

    explicit Client(const QString &user)
    {
        // The answer to GETREMOTE comes after the whole login, backlog included.
        QObject::connect(&socket, &QTcpSocket::connected, &socket, [this, user] {
            socket.write(QStringLiteral("{\"b\":\"LOGIN\",\"t\":\"%1\",\"u\":\"pw\"}{\"b\":\"GETREMOTE\"}")
                             .arg(user).toUtf8());
        });
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            buffer += socket.readAll();
            for (;;) {
                const JsonSplitter::Result r = splitter.next(buffer);
                buffer.remove(0, r.consumed);
                if (r.status != JsonSplitter::Complete) {
                    if (r.consumed == 0)
                        break;
                    continue;
                }
                const QJsonObject o = QJsonDocument::fromJson(r.object).object();
                const QString word = o.value("b").toString();
                loggedIn = loggedIn || word.startsWith(QLatin1String("Remote"));
                if (word == QLatin1String("NewEvent"))
                    devices << o.value("m").toString();
            }
        });
        socket.connectToHost(QHostAddress::LocalHost, 5999);
    }
};

// Everything that keeps the server busy; the floods are bounded in count.
class Traffic : public QObject
{
public:
    int modbusSent = 0;
    int nbAnswered = 0;
    std::vector<std::unique_ptr<Client>> clients;
    CentrePeer centre;

    // Clients log in first: with no condition active yet they are given no
    // backlog, and every event they get is one delivered live.
    void connectClients()
    {
        for (int i = 0; i < kClients; ++i)
            clients.push_back(std::make_unique<Client>(QStringLiteral("u%1").arg(i)));
        centre.connectTo(2009);
    }
    void start(quint16 nbPort)
    {
        // 50 Modbus alarms of new devices every 10 ms, for 12 s at most.
        connect(&m_flood, &QTimer::timeout, this, [this] {
            for (int i = 0; i < 50 && modbusSent < kModbusFlood; ++i, ++modbusSent)
                m_udp.writeDatagram(QStringLiteral("{\"msg\":\"%1\",\"type\":0}").arg(modbusDevice(modbusSent)).toUtf8(),
                                    QHostAddress::LocalHost, 9040);
        });
        m_flood.start(10);
        // NB-IoT alarms posted back to back on one kept-alive connection.
        connect(&m_nb, &QTcpSocket::connected, this, &Traffic::postNb);
        connect(&m_nb, &QTcpSocket::readyRead, this, [this] {
            m_nbReply += m_nb.readAll();
            while (m_nbReply.contains("\"err_msg\"")) {
                m_nbReply.remove(0, m_nbReply.indexOf("\"err_msg\"") + 9);
                ++nbAnswered;
                postNb();
            }
        });
        m_nb.connectToHost(QHostAddress::LocalHost, nbPort);
    }
    void stop()
    {
        m_flood.stop();
        m_nb.abort();
    }
    bool allLoggedIn() const
    {
        for (const auto &c : clients) {
            if (!c->loggedIn)
                return false;
        }
        return true;
    }
    int fewestEvents() const
    {
        int n = INT_MAX;
        for (const auto &c : clients)
            n = qMin(n, c->devices.size());
        return n;
    }

private:
    void postNb()
    {
        const QByteArray body = QStringLiteral("{\"msg_type\":\"dev_alarm\",\"msg_stamp\":1564639935,\"msg_content\":"
                                               "{\"dev_id\":\"8637030305%1\",\"eve_time\":1564639934,\"eve_type1\":1,"
                                               "\"eve_type2\":0,\"signal\":-71,\"smoke\":1}}")
                                    .arg(nbAnswered, 5, 10, QLatin1Char('0'))
                                    .toUtf8();
        m_nb.write("POST /postData HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                   + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    QUdpSocket m_udp;
    QTimer m_flood;
    QTcpSocket m_nb;
    QByteArray m_nbReply;
};
} // namespace

class TestServerFaults : public QObject
{
    Q_OBJECT

    QScopedPointer<SiteKit> m_site;
    CloudRecorder m_cloud;
    quint16 m_nbPort = 0;

    QString path(const QString &name) const { return m_site->path(name); }

    // A site with every service on: clients, centre, NB-IoT, Modbus and the
    // cloud upload to the recorder; two controllers whose ports do not exist.
    void makeSite()
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->copyTables());
        QVERIFY(m_cloud.listen());
        {
            QTcpServer probe; // a free port for the NB-IoT receiver
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            m_nbPort = probe.serverPort();
        }
        QVERIFY(TestFiles::write(path("httpConfig.ini"),
                                 QStringLiteral("[listener]\nhost=127.0.0.1\nport=%1\nmaxThreads=10\n").arg(m_nbPort).toUtf8()));
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisHaveNB=1\nisHaveModbus=1\nisHaveHttp=1\n"
                                                "httpIP=%1\n[SerialPorts]\nCOM1=%2\nCOM2=%2\n")
                                     .arg(m_cloud.address(), path("absent-tty"))
                                     .toUtf8()));
        QStringList args{"--controller", "1:22:1:一号主机", "--controller", "2:22:2:二号主机"};
        for (int i = 0; i < kClients; ++i)
            args << "--account" << QStringLiteral("u%1:pw:Local").arg(i);
        QVERIFY(m_site->init(args));
    }

    void startServer() { QVERIFY2(m_site->start(), qPrintable(m_site->startLog())); }

    // Every record the cloud recorder was sent, in order.
    QList<QJsonObject> cloudRecords() const
    {
        QList<QJsonObject> out;
        for (const CloudRecorder::Post &p : m_cloud.posts()) {
            for (const QJsonValue &v : QJsonDocument::fromJson(p.body).array())
                out << v.toObject();
        }
        return out;
    }

    // The journal's entries, read from the file as the server left it.
    QList<QJsonObject> journalRecords()
    {
        QList<QJsonObject> out;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(path("CloudJournal.db"));
            [&] {
                QVERIFY(db.open());
                QSqlQuery q("PRAGMA integrity_check", db);
                QVERIFY(q.next());
                QCOMPARE(q.value(0).toString(), QStringLiteral("ok"));
            }();
            db.close();
        }
        QSqlDatabase::removeDatabase("check");
        Journal j;
        if (!j.open(path("CloudJournal.db")))
            return out;
        for (const Journal::Entry &e : j.peek(j.count())) {
            QJsonParseError error;
            out << QJsonDocument::fromJson(e.payload, &error).object();
            if (error.error != QJsonParseError::NoError)
                QTest::qFail(qPrintable("journal entry is not JSON: " + e.payload), __FILE__, __LINE__);
        }
        return out;
    }

    // The settings database and the account file are whole and say what
    // the server last stored (rows: controller number and open state).
    void checkSettingsAndAccounts(const QStringList &expectedRows)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "settings");
            db.setDatabaseName(path("KelServerSet.db"));
            [&] {
                QVERIFY(db.open());
                QSqlQuery check("PRAGMA integrity_check", db);
                QVERIFY(check.next());
                QCOMPARE(check.value(0).toString(), QStringLiteral("ok"));
                QSqlQuery q("select ControllerID, IsOpenBefore from ServerControllerInfo order by ControllerID", db);
                QStringList rows;
                while (q.next())
                    rows << q.value(0).toString() + ":" + q.value(1).toString();
                QCOMPARE(rows, expectedRows);
            }();
            db.close();
        }
        QSqlDatabase::removeDatabase("settings");
        // No transaction left open, no temporary file beside the accounts.
        QVERIFY(!QFile::exists(path("KelServerSet.db-journal")));
        QCOMPARE(QDir(m_site->dir()).entryList({"FireServerInfo.cfg*"}, QDir::Files | QDir::Hidden),
                 QStringList{"FireServerInfo.cfg"});
        ClientAccounts &accounts = ClientAccounts::instance();
        QVERIFY(accounts.load(path("FireServerInfo.cfg")));
        for (int i = 0; i < kClients; ++i)
            QCOMPARE(accounts.account(QStringLiteral("u%1").arg(i)).password, QStringLiteral("pw"));
    }

private slots:
    void cleanup()
    {
        m_site.reset();
        m_cloud.close();
        m_cloud.clearPosts();
    }

    void sigtermDuringHeavyTrafficLeavesEveryFileWhole()
    {
        STEP(makeSite());
        STEP(startServer());
        Traffic traffic;
        traffic.connectClients();
        QTRY_VERIFY_WITH_TIMEOUT(traffic.allLoggedIn(), 10000);
        traffic.start(m_nbPort);
        QTRY_VERIFY_WITH_TIMEOUT(traffic.fewestEvents() >= 10 && traffic.nbAnswered >= 10
                                     && modbusNumbers(cloudRecords()).size() >= 10 && traffic.centre.heartbeats() >= 1,
                                 20000);
        QVERIFY(traffic.modbusSent < kModbusFlood); // still flooding

        const qint64 ms = m_site->terminate();
        traffic.stop();
        QCOMPARE(m_site->server()->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_site->server()->exitCode(), 0);
        QVERIFY2(ms >= 0 && ms < 5000, qPrintable(QString::number(ms)));
        QVERIFY(m_site->log().contains("fireserver stopped"));

        checkSettingsAndAccounts({"1:0", "2:0"});
        // The journal holds what the platform had not accepted, following on
        // from what it had: no gap, nothing out of order. (A batch on its way
        // at the stop may be in both: it is sent again, never lost.)
        const QList<int> sent = modbusNumbers(cloudRecords());
        const QList<int> kept = modbusNumbers(journalRecords());
        QVERIFY(!sent.isEmpty() && sent.first() == 0 && consecutive(sent));
        QVERIFY(consecutive(kept));
        if (!kept.isEmpty())
            QVERIFY2(kept.first() <= sent.last() + 1 && kept.first() >= sent.first(),
                     qPrintable(QStringLiteral("sent %1..%2, kept %3..%4")
                                    .arg(sent.first()).arg(sent.last()).arg(kept.first()).arg(kept.last())));
        // Every alarm an operator was shown is in the platform or in the journal.
        const int last = kept.isEmpty() ? sent.last() : kept.last();
        for (const auto &c : traffic.clients) {
            for (const QString &device : c->devices)
                QVERIFY2(modbusNumber(device) <= last, qPrintable(device + " shown, journal ends at " + QString::number(last)));
        }
    }

    void sigkillDuringHeavyTrafficThenRestartSendsTheJournalOnce()
    {
        STEP(makeSite());
        m_cloud.close(); // the platform is down: everything waits in the journal
        STEP(startServer());
        Traffic traffic;
        traffic.connectClients();
        QTRY_VERIFY_WITH_TIMEOUT(traffic.allLoggedIn(), 10000);
        traffic.start(m_nbPort);
        QTRY_VERIFY_WITH_TIMEOUT(traffic.fewestEvents() >= 30, 20000);
        m_site->kill();
        traffic.stop();
        QCOMPARE(m_site->server()->exitStatus(), QProcess::CrashExit);

        // Every event a client was given had been journaled first, in order.
        const QList<QJsonObject> kept = journalRecords();
        const QList<int> keptNumbers = modbusNumbers(kept);
        QVERIFY(consecutive(keptNumbers) && !keptNumbers.isEmpty() && keptNumbers.first() == 0);
        for (const auto &c : traffic.clients) {
            QList<int> given;
            for (const QString &device : c->devices) {
                if (modbusNumber(device) >= 0)
                    given << modbusNumber(device);
            }
            QVERIFY(!given.isEmpty());
            QCOMPARE(given, keptNumbers.mid(0, given.size()));
        }
        checkSettingsAndAccounts({"1:", "2:"});

        // Back up, the platform gets exactly what waited, in order, once.
        QVERIFY(m_cloud.listen());
        STEP(startServer());
        QTRY_VERIFY_WITH_TIMEOUT(cloudRecords().size() >= kept.size(), 20000);
        QVERIFY(m_site->terminate() >= 0);
        QCOMPARE(cloudRecords(), kept);
        QVERIFY(journalRecords().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServerFaults)
#include "tst_server_faults.moc"
