// The web console on a live site: the in-process server with a Birch panel
// simulated on a socat pair and a second source of events (as the NB-IoT
// and Modbus gateways are) whose texts the test chooses. The JSON API and
// the event stream are checked on the wire; the pages in Debian's chromium,
// driven by tests/web/console.mjs, which asks this test for each step on
// the site's side (an alarm, a hostile note, a silent panel) over its
// standard input and output.

#include "common/httptestclient.h"
#include "common/simulatedbirch.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "core/servercontext.h"
#include "panels/models/birchframes.h"
#include "server/fireserver.h"
#include "server/webservice.h"
#include "web/eventstream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <memory>

using namespace HttpTest;

namespace {
const QString kHostileNote = QStringLiteral("<img src=x onerror=alert(1)>");

// An event source beside the panels, as the gateways are.
class NoteSource : public QObject
{
    Q_OBJECT
public:
    void send(int code, const QString &device, const QString &note)
    {
        CEvent e;
        e.nPanelID = 1;
        e.nEventCode = code;
        e.nEventProperty = 1;
        e.strCode = device;
        e.strNote = note;
        e.strTime = nowText();
        ConfigTables::instance().complete(e);
        emit sendEvent(e);
    }
signals:
    void sendEvent(const CEvent &e);
};

QJsonObject jsonBody(const CurlResult &r)
{
    return QJsonDocument::fromJson(bodyOf(r.out)).object();
}

int statusOf(const CurlResult &r)
{
    return r.out.mid(9, 3).toInt();
}
} // namespace

class TestWebConsole : public QObject
{
    Q_OBJECT
    std::unique_ptr<SiteKit> m_site;
    std::unique_ptr<SimulatedBirch> m_panel;
    std::unique_ptr<FireServer> m_server;
    NoteSource m_source;
    QString m_base;
    QString m_cookies;

    QString path(const QString &name) const { return m_site->path(name); }
    WebService *web() const { return m_server->service<WebService>(); }

    // extraWeb: more keys of the group Web.
    void startSite(int maxSessions = 20, const QString &extraWeb = QString())
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->isValid());
        QVERIFY(m_site->copyTables());
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisControl=1\n[Com]\ndisconnectTimes=3\n[SerialPorts]\nCOM1=%1\n"
                                                "[History]\nenabled=1\n[Web]\nhost=127.0.0.1\nmaxSessions=%2\n%3")
                                     .arg(path("ttyPanel")).arg(maxSessions).arg(extraWeb).toUtf8()));
        QVERIFY(m_site->init({"--controller", QStringLiteral("1:22:1:一号主机"), "--account", "duty:secret1:Local"}));
        m_panel.reset(new SimulatedBirch(m_site->dir()));
        QVERIFY(m_panel->start());

        m_site->useHere();
        FireServer::Options o = Site::freePorts();
        o.stateTimerMs = 200;
        o.webPort = 0;
        m_server.reset(new FireServer(o));
        m_server->start();
        m_server->addEventSource(&m_source);
        m_server->accounts().throttle().clear();
        QVERIFY(web());
        m_base = QStringLiteral("%1://127.0.0.1:%2").arg(web()->isTls() ? "https" : "http").arg(web()->port());
        m_cookies = path("cookies.txt");
        QTRY_VERIFY_WITH_TIMEOUT(m_panel->received("poll").size() >= 2, 10000);
    }

    CurlResult get(const QString &api, const QStringList &extra = {})
    {
        return curl(QStringList{"-k", "-i", "-b", m_cookies, "-c", m_cookies} + extra + QStringList{m_base + api});
    }
    CurlResult post(const QString &api, const QByteArray &json, const QByteArray &csrf)
    {
        QStringList args{"-k", "-i", "-b", m_cookies, "-c", m_cookies, "-H", "Content-Type: application/json", "--data-binary", json};
        if (!csrf.isEmpty())
            args << "-H" << QStringLiteral("X-CSRF-Token: ") + csrf;
        return curl(args + QStringList{m_base + api});
    }
    // The session cookie's value.
    QByteArray logIn()
    {
        const CurlResult r = post("/api/login", R"({"user":"duty","password":"secret1"})", QByteArray());
        const int at = r.out.indexOf("fs_session=");
        return at < 0 ? QByteArray() : r.out.mid(at + 11, r.out.indexOf(';', at) - at - 11);
    }

    // The silence command the driver writes, byte for byte, whatever its sequence byte.
    bool panelGotSilence() const
    {
        for (const QString &f : m_panel->received("command")) {
            const QByteArray bytes = QByteArray::fromHex(f.mid(8).toLatin1());
            if (bytes.size() > 2 && bytes == BirchFrames::silenceFrame(1, quint8(bytes.at(2))))
                return true;
        }
        return false;
    }

private slots:
    void cleanup()
    {
        ServerContext::instance().isControl = false;
        m_server.reset();
        m_panel.reset();
        m_site.reset();
    }

    void apiNeedsASessionAndATokenOnEveryPost()
    {
        STEP(startSite());
        QSignalSpy commandLog(web(), &WebService::eLog);
        CurlResult page = get("/");
        QCOMPARE(statusOf(page), 200);
        QVERIFY(page.out.contains("Content-Security-Policy: default-src 'self'"));
        QVERIFY(!bodyOf(page.out).contains("<script>")); // the module is a file of its own
        for (const char *api : {"/api/status", "/api/stream", "/api/events?since=1", "/api/history"})
            QCOMPARE(statusOf(get(QLatin1String(api))), 401);
        QCOMPARE(statusOf(post("/api/command", R"({"panel":1,"command":"silence"})", "x")), 401);

        // Only JSON logs in: a form of another site cannot post it.
        QCOMPARE(statusOf(curl({"-i", "--data", "user=duty&password=secret1", m_base + "/api/login"})), 415);
        const CurlResult wrong = post("/api/login", R"({"user":"duty","password":"nope"})", QByteArray());
        QCOMPARE(statusOf(wrong), 401);
        QVERIFY(!wrong.out.contains("Set-Cookie"));
        const CurlResult ok = post("/api/login", R"({"user":"duty","password":"secret1"})", QByteArray());
        QCOMPARE(statusOf(ok), 200);
        QVERIFY2(ok.out.contains("Set-Cookie: fs_session=") && ok.out.contains("HttpOnly")
                     && ok.out.contains("SameSite=Strict"), ok.out.constData());
        const QByteArray csrf = jsonBody(ok).value("csrf").toString().toLatin1();
        QCOMPARE(csrf.size(), 64);

        QCOMPARE(statusOf(get("/api/status")), 200);
        QCOMPARE(statusOf(post("/api/command", R"({"panel":1,"command":"silence"})", QByteArray())), 403);
        QCOMPARE(statusOf(post("/api/command", R"({"panel":1,"command":"silence"})", "0" + csrf.mid(1))), 403);
        QVERIFY(!panelGotSilence());
        // Bad commands are answered with the reason and reach no panel.
        QCOMPARE(statusOf(post("/api/command", R"({"panel":9,"command":"silence"})", csrf)), 400);
        QCOMPARE(statusOf(post("/api/command", R"({"panel":1,"command":"start","device":"<x>"})", csrf)), 400);
        QCOMPARE(statusOf(post("/api/command", "not json", csrf)), 400);
        const CurlResult sent = post("/api/command", R"({"panel":1,"command":"silence"})", csrf);
        QVERIFY2(jsonBody(sent).value("ok").toBool(), sent.out.constData());
        QTRY_VERIFY_WITH_TIMEOUT(panelGotSilence(), 10000);
        // The console's log names the account that sent it.
        QCOMPARE(commandLog.count(), 1);
        QCOMPARE(commandLog.at(0).at(0).value<CEvent>().strNote, QStringLiteral("网页命令 用户:duty 控制器编号:1 消音"));

        ServerContext::instance().isControl = false;
        QCOMPARE(statusOf(post("/api/command", R"({"panel":1,"command":"reset"})", csrf)), 403);

        // After logout the session and its token are gone.
        QCOMPARE(statusOf(post("/api/logout", "{}", csrf)), 200);
        QCOMPARE(statusOf(get("/api/status")), 401);
    }

    void failedLoginsAreThrottledPerAddress()
    {
        STEP(startSite());
        for (int i = 0; i < 10; ++i)
            QCOMPARE(statusOf(post("/api/login", R"({"user":"duty","password":"guess"})", QByteArray())), 401);
        // Now even the right password waits: guessing gains nothing.
        QCOMPARE(statusOf(post("/api/login", R"({"user":"duty","password":"secret1"})", QByteArray())), 429);
    }

    void streamResumesFromLastEventIdOrAsksForAReload()
    {
        STEP(startSite(2));
        const QByteArray cookie = logIn();
        QCOMPARE(cookie.size(), 64);
        const auto open = [&](RawClient &c, const QByteArray &lastId) {
            QVERIFY(c.connectTo(web()->port()));
            c.send("GET /api/stream HTTP/1.1\r\nHost: x\r\nCookie: fs_session=" + cookie + "\r\n"
                   + (lastId.isEmpty() ? QByteArray() : "Last-Event-ID: " + lastId + "\r\n") + "\r\n");
            QTRY_VERIFY(c.received.contains("retry: 2000"));
            QVERIFY(c.received.startsWith("HTTP/1.1 200 OK\r\n"));
            QVERIFY(c.received.contains("Content-Type: text/event-stream"));
        };
        RawClient live;
        STEP(open(live, QByteArray()));
        QTRY_COMPARE(web()->stream()->streamCount(), 1);
        m_source.send(3, "01020003", QStringLiteral("first"));
        QTRY_VERIFY(live.received.contains("first"));
        const qint64 firstSeq = web()->stream()->lastSeq();
        QVERIFY(live.received.contains("id: " + QByteArray::number(firstSeq) + "\ndata: {"));
        m_source.send(3, "01020004", QStringLiteral("second"));
        m_source.send(3, "01020005", QStringLiteral("third"));
        QTRY_VERIFY(live.received.contains("third"));

        // A browser that saw only the first gets the two it missed, in order.
        RawClient back;
        STEP(open(back, QByteArray::number(firstSeq)));
        QTRY_VERIFY(back.received.contains("third"));
        QVERIFY(!back.received.contains("first"));
        QVERIFY(back.received.indexOf("second") < back.received.indexOf("third"));
        // Web/maxSessions=2: a third stream is refused while two are open.
        QTRY_COMPARE(web()->stream()->streamCount(), 2);
        QCOMPARE(statusOf(get("/api/stream")), 503);
        live.socket.abort();
        QTRY_COMPARE(web()->stream()->streamCount(), 1);
        // A number from before this run of the server: reload the snapshot.
        RawClient stale;
        STEP(open(stale, "12"));
        QTRY_VERIFY(stale.received.contains("event: reload\n"));
    }

    void tlsCookieIsSecureAndStreamsFlow()
    {
        // The certificate is made before the site: written where config.ini names it.
        QTemporaryDir certs;
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                  "-nodes", "-keyout", certs.filePath("key.pem"), "-out", certs.filePath("cert.pem"),
                                  "-days", "1", "-subj", "/CN=127.0.0.1"});
        QVERIFY(openssl.waitForFinished(20000) && openssl.exitCode() == 0);
        STEP(startSite(20, QStringLiteral("certFile=%1\nkeyFile=%2\n").arg(certs.filePath("cert.pem"), certs.filePath("key.pem"))));
        QVERIFY(web()->isTls());
        const QByteArray cookie = logIn();
        QCOMPARE(cookie.size(), 64);
        const CurlResult login = post("/api/login", R"({"user":"duty","password":"secret1"})", QByteArray());
        QVERIFY2(login.out.contains("; Secure"), qPrintable(QString::number(login.exitCode) + login.out));
        // The stream leaves the HTTP server with its TLS session intact.
        QProcess stream;
        stream.start("curl", {"-k", "-s", "-N", "-b", m_cookies, m_base + "/api/stream"});
        QTRY_COMPARE(web()->stream()->streamCount(), 1);
        m_source.send(3, "01020003", QStringLiteral("over tls"));
        QByteArray got;
        QTRY_VERIFY((got += stream.readAllStandardOutput()).contains("over tls"));
        QVERIFY(got.startsWith("retry: 2000"));
        stream.kill();
        stream.waitForFinished();
    }

    void pagesInARealBrowser()
    {
        STEP(startSite());
        const QString shots = QStringLiteral(FIRE_BINARY_DIR "/web-screenshots");
        QDir().mkpath(shots);
        QProcess node;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("BASE_URL", m_base);
        env.insert("SHOTS", shots);
        env.insert("PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD", "1");
        node.setProcessEnvironment(env);
        node.setProcessChannelMode(QProcess::SeparateChannels);
        QString transcript;
        connect(&node, &QProcess::readyReadStandardError, this, [&] { transcript += QString::fromUtf8(node.readAllStandardError()); });
        connect(&node, &QProcess::readyReadStandardOutput, this, [&] {
            while (node.canReadLine()) {
                const QString line = QString::fromUtf8(node.readLine()).trimmed();
                transcript += line + '\n';
                if (line == "STEP alarm") {
                    m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03); // smoke detector, loop 1 address 5
                } else if (line == "STEP note") {
                    m_source.send(3, "01090003", kHostileNote);
                } else if (line == "STEP silence-reached") {
                    QTRY_VERIFY_WITH_TIMEOUT(panelGotSilence(), 10000);
                } else if (line == "STEP panel-silent") {
                    m_panel->sim().setSilent(true);
                } else if (line == "STEP control-off") {
                    ServerContext::instance().isControl = false;
                } else if (!line.startsWith("STEP")) {
                    continue;
                }
                node.write("OK\n");
            }
        });
        node.start("node", {QStringLiteral(FIRE_SOURCE_DIR "/tests/web/console.mjs")});
        QVERIFY2(node.waitForStarted(10000), "node is missing: scripts/deps.sh installs it");
        QTRY_VERIFY_WITH_TIMEOUT(node.state() == QProcess::NotRunning, 240000);
        QVERIFY2(node.exitStatus() == QProcess::NormalExit && node.exitCode() == 0, qPrintable(transcript));
        QVERIFY2(transcript.contains("DONE"), qPrintable(transcript));
    }
};

QTEST_MAIN(TestWebConsole)
#include "tst_webconsole.moc"
