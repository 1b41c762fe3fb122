// The embedded HTTP server on loopback: curl and raw sockets against a
// listener on a free port with a small request handler of the test's own.
#include "common/httptestclient.h"
#include "http/httpconnectionhandlerpool.h"
#include "http/httplistener.h"
#include "http/httprequest.h"
#include "http/httprequesthandler.h"
#include "http/httprequestparser.h"
#include "http/httpresponse.h"
#include "common/qtwarningguard.h"

#include <QBuffer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <stdexcept>

using namespace HttpTest;

namespace {
// /echo: the request as text lines; /chunked: three parts; /upload: the
// multipart fields; /throw: a failing handler; anything else: the 501 default.
class TestHandler : public HttpRequestHandler
{
public:
    void service(HttpRequest &request, HttpResponse &response) override
    {
        const QByteArray path = request.path();
        if (path == "/echo") {
            QByteArray out = request.method() + ' ' + path + '\n';
            for (auto it = request.parameterMap().begin(); it != request.parameterMap().end(); ++it)
                out += "param " + it.key() + '=' + it.value() + '\n';
            for (auto it = request.cookieMap().begin(); it != request.cookieMap().end(); ++it)
                out += "cookie " + it.key() + '=' + it.value() + '\n';
            out += "body " + request.body() + '\n';
            response.write(out, true);
        } else if (path == "/chunked") {
            response.write("alpha");
            response.write(QByteArray()); // must not end the body early
            response.write("beta");
            response.write(QByteArray(), true);
        } else if (path == "/upload") {
            QTemporaryFile *file = request.uploadedFile("file");
            response.write("plain=" + request.parameter("plain") + "\nfile " + request.parameter("file") + '='
                               + (file ? file->readAll() : QByteArray("none")),
                           true);
        } else if (path == "/throw") {
            throw std::runtime_error("third-party failure");
        } else {
            HttpRequestHandler::service(request, response);
        }
    }
};
} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT

    TestHandler m_handler;
    QScopedPointer<HttpListener> m_listener;

    quint16 start(HttpListenerSettings s = HttpListenerSettings())
    {
        m_listener.reset();
        s.host = QStringLiteral("127.0.0.1");
        s.port = 0;
        m_listener.reset(new HttpListener(s, &m_handler));
        return m_listener->isListening() ? m_listener->serverPort() : 0;
    }
    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_listener->serverPort()).arg(QLatin1String(path));
    }

private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { m_listener.reset(); }
    void cleanupTestCase() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    // Every split of a request into two feeds gives the same request, and
    // the bytes of a second, pipelined request are left over.
    void parserTakesBytesInAnyPieces()
    {
        const QByteArray first = "POST /p%41th?x=1&y=a+b HTTP/1.1\r\nHost: h\r\nX-Twice: 1\r\nx-twice: 2\r\n"
                                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\nz=%7e&w";
        const QByteArray bytes = first + "GET / HTTP/1.1\r\n\r\n";
        for (int cut = 0; cut <= first.size(); ++cut) {
            HttpRequestParser p(16000, 1000000);
            const HttpRequestParser::Result a = p.feed(bytes.left(cut));
            QCOMPARE(a.status, cut == first.size() ? HttpRequestParser::Complete : HttpRequestParser::Incomplete);
            const HttpRequestParser::Result b = p.feed(bytes.mid(int(a.consumed)));
            QCOMPARE(b.status, HttpRequestParser::Complete);
            QCOMPARE(a.consumed + b.consumed, qint64(first.size()));
            const HttpRequest &r = p.request();
            QCOMPARE(r.path(), QByteArray("/pAth"));
            QCOMPARE(r.headers("X-TWICE"), (QList<QByteArray>{"2", "1"}));
            QCOMPARE(r.parameter("y"), QByteArray("a b"));
            QCOMPARE(r.parameter("z"), QByteArray("~"));
            QCOMPARE(r.parameters("w"), QList<QByteArray>{QByteArray()});
            QCOMPARE(r.body(), QByteArray("z=%7e&w"));
        }
    }

    void parserRefusesHostileInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two blanks") << QByteArray("GET  / HTTP/1.1\r\n\r\n");
        QTest::newRow("no version") << QByteArray("GET /\r\n\r\n");
        QTest::newRow("binary") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\n", 12);
        QTest::newRow("chunked body") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
        QTest::newRow("two lengths") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n");
        QTest::newRow("bad length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
        QTest::newRow("body too large") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 16001\r\n\r\n");
        QTest::newRow("endless line") << QByteArray(16001, 'a');
    }
    void parserRefusesHostileInput()
    {
        QFETCH(QByteArray, bytes);
        HttpRequestParser p(16000, 1000000);
        QCOMPARE(p.feed(bytes).status, HttpRequestParser::Invalid);
    }

    // The response writer byte by byte: a redirect with a cookie.
    void responseBytes()
    {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        HttpResponse r(&out);
        HttpCookie c = HttpCookie::fromSetCookie("sid=42; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
        QCOMPARE(c.toByteArray(), QByteArray("sid=42; Max-Age=0; Path=/; HttpOnly; SameSite=Strict"));
        r.setCookie(c);
        r.redirect("/next");
        r.write("ignored after the last part", true);
        QCOMPARE(out.data(), QByteArray("HTTP/1.1 303 See Other\r\nLocation: /next\r\nContent-Length: 8\r\n"
                                        "Set-Cookie: sid=42; Max-Age=0; Path=/; HttpOnly; SameSite=Strict\r\n"
                                        "\r\nRedirect"));
    }

    // curl: query and cookies parsed, exact Content-Length, a multipart upload
    // with a file part and a plain part.
    void curlRequests()
    {
        QVERIFY(start());
        CurlResult r = curl({"-i", "-b", "sid=abc; theme=\"dark\"", url("/echo?a=1&b=x%20y")});
        QCOMPARE(r.exitCode, 0);
        const QByteArray body = "GET /echo\nparam a=1\nparam b=x y\ncookie sid=abc\ncookie theme=dark\nbody \n";
        QVERIFY2(r.out.startsWith("HTTP/1.1 200 OK\r\n"), r.out.constData());
        QVERIFY(r.out.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
        QCOMPARE(bodyOf(r.out), body);

        QTemporaryDir dir;
        QFile upload(dir.filePath("data.bin"));
        QByteArray content;
        for (int i = 0; i < 3000; ++i)
            content += char(i % 251);
        content += "\r\n--not-the-boundary\r\n"; // line ends inside a file stay as they are
        QVERIFY(upload.open(QIODevice::WriteOnly) && upload.write(content) == content.size());
        upload.close();
        r = curl({"-F", "plain=hello world", "-F", "file=@" + upload.fileName(), url("/upload")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, "plain=hello world\nfile data.bin=" + content);
    }

    // Raw: keep-alive serves three requests on one connection (two of them
    // pipelined); a chunked response; HTTP/1.0 is answered with close; the
    // head's size limit.
    void connectionRules()
    {
        const quint16 port = start();
        RawClient c;
        QVERIFY(c.connectTo(port));
        c.send("GET /echo?n=1 HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(c.waitResponses(1));
        c.send("GET /echo?n=2 HTTP/1.1\r\n\r\nPOST /echo HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
        QVERIFY(c.waitResponses(3));
        QVERIFY(!c.closed);
        QCOMPARE(c.received.count("HTTP/1.1 200 OK\r\n"), 3);
        QVERIFY(c.received.contains("param n=2\nbody \n") && c.received.endsWith("body abc\n"));

        c.received.clear();
        c.send("GET /chunked HTTP/1.1\r\n\r\n");
        QVERIFY(c.waitResponses(1));
        QCOMPARE(c.received, QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                        "5\r\nalpha\r\n4\r\nbeta\r\n0\r\n\r\n"));

        c.received.clear();
        c.send("GET /echo HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
        QVERIFY(c.waitClosed());
        QCOMPARE(c.received, QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 16\r\n\r\n"
                                        "GET /echo\nbody \n"));

        // A head of 16,001 bytes gets 413 and the connection ends; one of
        // 16,000 is served.
        auto head = [](int size) {
            QByteArray h = "GET /echo HTTP/1.1\r\nX-Fill: ";
            h += QByteArray(size - h.size() - 4, 'f') + "\r\n\r\n";
            return h;
        };
        RawClient ok;
        QVERIFY(ok.connectTo(port));
        ok.send(head(16000));
        QVERIFY(ok.waitResponses(1));
        QVERIFY(ok.received.startsWith("HTTP/1.1 200 OK\r\n"));
        RawClient big;
        QVERIFY(big.connectTo(port));
        big.send(head(16001));
        QVERIFY(big.waitClosed());
        QCOMPARE(big.received, QByteArray("HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n"
                                          "413 Entity too large\r\n"));
    }

    // With one handler a second connection gets 503; a handler that throws
    // answers 500 and its thread goes on serving; the default handler
    // answers 501; idle handlers are removed down to minThreads.
    void poolLimitsAndFailures()
    {
        HttpListenerSettings s;
        s.maxThreads = 1;
        const quint16 port = start(s);
        {
            RawClient holder;
            QVERIFY(holder.connectTo(port));
            holder.send("GET /echo HTTP/1.1\r\n\r\n");
            QVERIFY(holder.waitResponses(1)); // the one handler is now taken
            RawClient refused;
            QVERIFY(refused.connectTo(port));
            refused.send("GET /echo HTTP/1.1\r\n\r\n");
            QVERIFY(refused.waitClosed());
            QCOMPARE(refused.received,
                     QByteArray("HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n"));
        }
        QTRY_COMPARE(m_listener->pool()->busyCount(), 0);
        RawClient c;
        QVERIFY(c.connectTo(port));
        c.send("GET /throw HTTP/1.1\r\n\r\n");
        QVERIFY(c.waitClosed());
        QVERIFY2(c.received.startsWith("HTTP/1.1 500 Internal Server Error\r\n"), c.received.constData());
        QTRY_COMPARE(m_listener->pool()->busyCount(), 0);
        const CurlResult r = curl({"-i", url("/nothing")});
        QVERIFY2(r.out.startsWith("HTTP/1.1 501 not implemented\r\n"), r.out.constData());
        QCOMPARE(bodyOf(r.out), QByteArray("501 not implemented"));
        QCOMPARE(m_listener->pool()->size(), 1);

        s.maxThreads = 100;
        s.minThreads = 2;
        s.cleanupInterval = 20;
        start(s);
        QList<QSharedPointer<RawClient>> clients;
        for (int i = 0; i < 6; ++i) {
            clients << QSharedPointer<RawClient>::create();
            QVERIFY(clients.last()->connectTo(m_listener->serverPort()));
            clients.last()->send("GET /echo HTTP/1.1\r\n\r\n");
        }
        for (auto &c : clients)
            QVERIFY(c->waitResponses(1));
        QCOMPARE(m_listener->pool()->size(), 6);
        clients.clear();
        QTRY_COMPARE_WITH_TIMEOUT(m_listener->pool()->size(), 2, 10000);
        QCOMPARE(m_listener->pool()->busyCount(), 0);
    }

    // A head sent a byte at a time is dropped readTimeout after its first
    // byte, however steadily the bytes come.
    void slowHeadDroppedOnTime()
    {
        HttpListenerSettings s;
        s.readTimeout = 300;
        const quint16 port = start(s);
        RawClient c;
        QVERIFY(c.connectTo(port));
        const QByteArray head = "GET /echo HTTP/1.1\r\nX-Slow: " + QByteArray(1000, 's');
        int sent = 0;
        QElapsedTimer since;
        QTimer drip;
        connect(&drip, &QTimer::timeout, [&] {
            if (sent == 0)
                since.start();
            if (sent < head.size())
                c.send(head.mid(sent++, 1));
        });
        drip.start(20);
        QVERIFY(c.waitClosed(8000));
        drip.stop();
        QVERIFY2(since.elapsed() >= 290, QByteArray::number(since.elapsed()).constData());
        QVERIFY(c.received.isEmpty());
        QTRY_COMPARE(m_listener->pool()->busyCount(), 0);
    }

    void tls()
    {
        if (!QSslSocket::supportsSsl())
            QSKIP("this Qt has no TLS backend");
        QTemporaryDir dir;
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                  "-nodes", "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem"),
                                  "-days", "1", "-subj", "/CN=127.0.0.1"});
        if (!openssl.waitForStarted(5000))
            QSKIP("no openssl command to make a certificate");
        QVERIFY(openssl.waitForFinished(20000) && openssl.exitCode() == 0);
        HttpListenerSettings s;
        s.sslKeyFile = dir.filePath("key.pem");
        s.sslCertFile = dir.filePath("cert.pem");
        const quint16 port = start(s);
        QVERIFY(m_listener->pool()->sslEnabled());
        // One after the other: the second lands on the handler the first left idle.
        for (int i = 0; i < 2; ++i) {
            QTRY_COMPARE(m_listener->pool()->busyCount(), 0);
            const CurlResult r = curl({"-k", QStringLiteral("https://127.0.0.1:%1/echo?t=1").arg(port)});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, QByteArray("GET /echo\nparam t=1\nbody \n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
