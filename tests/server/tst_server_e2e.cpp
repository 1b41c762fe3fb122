// FIXED_PORTS_TEST: the real executable on a temporary site, with a simulated
// ControllerBirch panel on a socat pair and fire-client as the client.
#include "clients/clientaccounts.h"
#include "common/socatpair.h"
#include "tools/sim/birchpanelsim.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <csignal>

namespace {
const QString kServer = QStringLiteral(FIRE_BINARY_DIR "/fireserver");
const QString kClient = QStringLiteral(FIRE_BINARY_DIR "/fire-client");
const QString kSiteInit = QStringLiteral(FIRE_BINARY_DIR "/site-init");
const QString kCentre = QStringLiteral(FIRE_BINARY_DIR "/fire-centre");

bool copyFile(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}
} // namespace

// The set-up helpers check as they go; a failed one ends the test there.
#define STEP(call) \
    do { \
        call; \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)

class TestServerEndToEnd : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<SocatPair> m_pair;
    QScopedPointer<BirchSimPort> m_panel;
    QStringList m_panelFrames;
    QProcess *m_server = nullptr;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // A site with the sample event tables, one live Birch panel on COM1 and
    // the given further controllers on ports that do not exist.
    void makeSite(bool control, const QStringList &extraControllers = {})
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir(m_dir->path()).mkdir("Log"));
        QVERIFY(copyFile(FIRE_SOURCE_DIR "/site/EventConfig.xml", path("EventConfig.xml")));
        QVERIFY(copyFile(FIRE_SOURCE_DIR "/site/SysSet.xml", path("SysSet.xml")));
        QFile ini(path("config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Server]\nisControl=%1\n[Com]\ndisconnectTimes=3\n"
                                 "[SerialPorts]\nCOM1=%2\nCOM2=%3\nCOM3=%3\n")
                      .arg(control ? 1 : 0)
                      .arg(path("ttyPanel"), path("absent-tty"))
                      .toUtf8());
        ini.close();
        QStringList args{"--app-dir", m_dir->path(), "--controller", QStringLiteral("1:22:1:一号主机"),
                         "--account", "demo:demo123:Local"};
        for (const QString &c : extraControllers)
            args << "--controller" << c;
        QCOMPARE(QProcess::execute(kSiteInit, args), 0);

        m_pair.reset(new SocatPair(path("ttyPanel"), path("ttySim")));
        QVERIFY(m_pair->start());
        m_panel.reset(new BirchSimPort);
        m_panel->sim().setId(1);
        m_panelFrames.clear();
        connect(m_panel.data(), &BirchSimPort::frameReceived, this,
                [this](const QString &text) { m_panelFrames << text; });
        QVERIFY(m_panel->openDevice(path("ttySim")));
    }

    void startServer()
    {
        m_server = new QProcess(this);
        m_server->setWorkingDirectory(m_dir->path());
        m_server->setProcessChannelMode(QProcess::MergedChannels);
        m_server->start(kServer, {"--headless", "--app-dir", m_dir->path()});
        QVERIFY(m_server->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("client service listening on port 5999")
                                     || m_server->state() != QProcess::Running, 10000);
        QVERIFY2(m_server->state() == QProcess::Running, qPrintable("server ended: " + logText()));
        QVERIFY2(logText().contains("client service listening on port 5999"), qPrintable(logText()));
    }

    // SIGTERM; returns the milliseconds the server took to exit.
    qint64 stopServer()
    {
        // processId() of a finished process is 0, and kill(0) would hit this test too.
        if (!m_server || m_server->state() == QProcess::NotRunning)
            return 0;
        QElapsedTimer t;
        t.start();
        ::kill(pid_t(m_server->processId()), SIGTERM);
        const bool finished = m_server->waitForFinished(10000);
        const qint64 ms = t.elapsed();
        if (!finished)
            m_server->kill();
        return finished ? ms : -1;
    }

    QString logText() const
    {
        QString all;
        const QDir logs(path("Log"));
        for (const QString &name : logs.entryList(QDir::Files)) {
            QFile f(logs.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                all += QTextCodec::codecForName("gb2312")->toUnicode(f.readAll());
        }
        return all;
    }

    // fire-client as a real peer, printing raw JSON of every message.
    QProcess *startClient(const QStringList &command = {})
    {
        auto *c = new QProcess(this);
        c->setProcessChannelMode(QProcess::MergedChannels);
        c->start(kClient, QStringList{"--user", "demo", "--password", "demo123", "--raw", "--timeout", "60"} + command);
        return c;
    }

    // The NewEvent objects the client has printed so far.
    static QList<QJsonObject> newEvents(QProcess *client, QString *seen)
    {
        *seen += QString::fromUtf8(client->readAll());
        QList<QJsonObject> out;
        for (const QString &line : seen->split('\n')) {
            if (!line.startsWith('{'))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            if (o.value("b").toString() == QLatin1String("NewEvent"))
                out << o;
        }
        return out;
    }

    static bool hasEvent(const QList<QJsonObject> &events, int number, int property, const QString &code = QString())
    {
        for (const QJsonObject &o : events) {
            if (o.value("g").toInt() == number && o.value("h").toInt() == property
                && (code.isNull() || o.value("m").toString() == code))
                return true;
        }
        return false;
    }

    bool panelReceivedCommand(quint8 action) const
    {
        for (const QString &f : m_panelFrames) {
            const QStringList bytes = f.split(' ');
            if (bytes.value(0) == QLatin1String("command") && bytes.value(5).toUInt(nullptr, 16) == action)
                return true;
        }
        return false;
    }

private slots:
    void cleanup()
    {
        stopServer();
        delete m_server;
        m_server = nullptr;
        m_panel.reset();
        m_pair.reset();
        m_dir.reset();
    }

    void fireAlarmReachesALoggedInClient()
    {
        STEP(makeSite(false));
        STEP(startServer());
        QProcess *client = startClient();
        QString seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += QString::fromUtf8(client->readAll())).contains("LogOK_Mulsys"), 10000);

        m_panelFrames.clear();
        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QList<QJsonObject> events;
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(events = newEvents(client, &seen), 1, 1, "00100503"), 10000);
        for (const QJsonObject &o : qAsConst(events)) {
            if (o.value("m").toString() != QLatin1String("00100503"))
                continue;
            QCOMPARE(o.value("d").toInt(), 1);  // panel number
            QCOMPARE(o.value("e").toInt(), 22); // its type code
            QCOMPARE(o.value("f").toInt(), 1);  // the event table's class
            QCOMPARE(o.value("c").toInt(), 1);  // COM1
        }
        // The panel saw its acknowledgement byte (panel number + 0x50).
        QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.contains(QStringLiteral("ack 51")), 5000);
        client->kill();
        client->waitForFinished();
    }

    void silenceReachesThePanelOnlyWithControlOn_data()
    {
        QTest::addColumn<bool>("control");
        QTest::newRow("control on") << true;
        QTest::newRow("control off") << false;
    }

    void silenceReachesThePanelOnlyWithControlOn()
    {
        QFETCH(bool, control);
        STEP(makeSite(control));
        STEP(startServer());
        // The driver takes commands only after a good exchange with its panel.
        QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.filter("poll").size() >= 2, 10000);
        QProcess *client = startClient({"silence", "1"});
        QString seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += QString::fromUtf8(client->readAll())).contains("sent SETCONTROL"), 10000);
        if (control) {
            QTRY_VERIFY_WITH_TIMEOUT(panelReceivedCommand(0x70), 10000);
        } else {
            // Several more poll passes go by without any command frame.
            const int polls = m_panelFrames.filter("poll").size();
            QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.filter("poll").size() >= polls + 8, 10000);
            QVERIFY(!panelReceivedCommand(0x70));
        }
        client->kill();
        client->waitForFinished();
    }

    void communicationLossAndRestore()
    {
        STEP(makeSite(false));
        STEP(startServer());
        QProcess *client = startClient();
        QString seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += QString::fromUtf8(client->readAll())).contains("LogOK_Mulsys"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.filter("poll").size() >= 2, 10000);

        // Loss and restore share the communication number 17 of the sample table.
        m_panel->sim().setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(newEvents(client, &seen), 17, 1), 20000);
        m_panel->sim().setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(hasEvent(newEvents(client, &seen), 17, 0), 20000);
        client->kill();
        client->waitForFinished();
    }

    void shutdownStoresOpenStatesAndKeepsAccounts()
    {
        STEP(makeSite(false, {QStringLiteral("2:22:2:二号主机"), QStringLiteral("3:20:3:三号主机")}));
        STEP(startServer());
        QTRY_VERIFY_WITH_TIMEOUT(m_panelFrames.filter("poll").size() >= 1, 10000);
        const qint64 ms = stopServer();
        QVERIFY2(ms >= 0 && ms < 3000, qPrintable(QString::number(ms)));
        QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server->exitCode(), 0);

        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "e2e");
            db.setDatabaseName(path("KelServerSet.db"));
            QVERIFY(db.open());
            QSqlQuery q("select ControllerID, IsOpenBefore from ServerControllerInfo order by ControllerID", db);
            QMap<int, QString> states;
            while (q.next())
                states.insert(q.value(0).toInt(), q.value(1).toString());
            // COM1 was open; COM2 and COM3 have no device and never opened.
            QCOMPARE(states, (QMap<int, QString>{{1, "1"}, {2, "0"}, {3, "0"}}));
        }
        QSqlDatabase::removeDatabase("e2e");

        ClientAccounts &accounts = ClientAccounts::instance();
        QVERIFY(accounts.load(path("FireServerInfo.cfg")));
        QVERIFY(accounts.contains("demo"));
        QCOMPARE(accounts.account("demo").password, QStringLiteral("demo123"));
    }

    void centreHearsEventsAndQueriesAreAnswered()
    {
        STEP(makeSite(false));
        QVERIFY(QDir(m_dir->path()).mkdir("ManageDoc"));
        QFile doc(path(QStringLiteral("ManageDoc/应急预案.pdf")));
        QVERIFY(doc.open(QIODevice::WriteOnly));
        doc.write(QByteArray(10000, 'p') + "%%EOF");
        doc.close();
        STEP(startServer());

        QProcess centre;
        centre.start(kCentre, {"--timeout", "60"});
        QString heard;
        QTRY_VERIFY_WITH_TIMEOUT((heard += QString::fromUtf8(centre.readAll())).contains("connected to"), 10000);
        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QTRY_VERIFY_WITH_TIMEOUT((heard += QString::fromUtf8(centre.readAll()))
                                     .contains(QStringLiteral("DeviceData||火灾报警系统||火灾报警系统1设备00100503:")),
                                 10000);
        QVERIFY(heard.contains(QRegularExpression(R"(00100503:[^\n]*\|\|127\.0\.0\.1\|\|1\|\|0\n)")));
        centre.kill();
        centre.waitForFinished();

        // No event log at this site: the reply is empty and ends with the close.
        QProcess query;
        query.start(kCentre, {"--query", "0", "2024-01-01", "2024-01-31"});
        QVERIFY(query.waitForFinished(15000));
        QCOMPARE(query.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(query.readAll()).count('\n'), 2); // "connected", "closed"

        QProcess fetch;
        fetch.start(kCentre, {"--doc", "1005", "--out", path("fetched.pdf")});
        QVERIFY(fetch.waitForFinished(15000));
        QVERIFY2(fetch.exitCode() == 0, fetch.readAll().constData());
        QFile fetched(path("fetched.pdf"));
        QVERIFY(fetched.open(QIODevice::ReadOnly));
        QCOMPARE(fetched.readAll(), QByteArray(10000, 'p') + "%%EOF");
    }

    void startsInAnEmptyDirectory()
    {
        m_dir.reset(new QTemporaryDir);
        m_server = new QProcess(this);
        m_server->setWorkingDirectory(m_dir->path());
        m_server->start(kServer, {"--headless", "--app-dir", m_dir->path()});
        QVERIFY(m_server->waitForStarted());
        QTcpSocket probe;
        QTRY_VERIFY_WITH_TIMEOUT((probe.connectToHost("127.0.0.1", 5999), probe.waitForConnected(200)), 10000);
        probe.close();
        QVERIFY(QFile::exists(path("KelServerSet.db")));
        const qint64 ms = stopServer();
        QVERIFY(ms >= 0 && ms < 3000);
        QCOMPARE(m_server->exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerEndToEnd)
#include "tst_server_e2e.moc"
