// The web console's live events under load: N server-sent-event streams
// open while events are delivered at the dispatcher's paced rate, against
// the same events to N client-protocol connections in the same run (the
// reference; the ratios are what to compare across machines). Then the
// overview page in headless Chromium (bench/web-paint.mjs): its transfer
// size and first contentful paint.
//
//   scripts/deps.sh && scripts/build.sh      # once: chromium, node, playwright-core, the build
//   build/bench_web [--streams 200] [--seconds 60] [--rate 25] [--no-paint]
//
// Three phases of --seconds each on one in-process server (temporary site,
// free loopback ports): no reader (the server's own cost), N SSE streams of
// one login, N logged-in client-protocol connections. The readers live in a
// thread of their own so that the server's CPU time is the process's less
// theirs. Each event carries its index as its device code; the delivery time
// is taken in the main thread just before the dispatcher's pacing step that
// hands it out (the bench drives that step at the dispatcher's own 40 ms),
// the receipt time in the reader thread as its bytes are read.

#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "clients/jsonsplitter.h"
#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "serverbench.h"
#include "server/fireserver.h"
#include "server/webservice.h"
#include "web/eventstream.h"

#include <QProcessEnvironment>
#include <QThread>

#include <atomic>
#include <memory>

using namespace ServerBench;

namespace {

double clockSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

QString codeOf(int index)
{
    return QStringLiteral("%1").arg(index, 8, 10, QLatin1Char('0'));
}

// The value after prefix up to the next quote; -1 when absent.
int indexAfter(const QByteArray &text, const char *prefix)
{
    const int from = text.indexOf(prefix);
    if (from < 0)
        return -1;
    const int start = from + int(qstrlen(prefix));
    const int stop = text.indexOf('"', start);
    bool ok = false;
    const int i = text.mid(start, stop - start).toInt(&ok);
    return ok ? i : -1;
}

enum class Kind { Sse, Client };

// Every connection of one phase; lives in the reader thread.
class Readers
{
public:
    struct Conn
    {
        QTcpSocket *socket = nullptr;
        QByteArray buf;
        JsonSplitter splitter;
        bool ready = false; // stream adopted, or client logged in
        int received = 0;
        int lastIndex = 0;
        bool inOrder = true;
    };

    // At most this many connections wait for their stream or login at a
    // time: the web console serves requests with a pool of 32 handlers and
    // answers 503 to what comes beyond it, so 200 at once would measure the
    // pool, not the streams. A refused one tries again as the page does.
    static constexpr int MaxOpening = 16;
    static constexpr int RetryMs = 100;

    // Events with an index in [first, last] count; others (a login backlog) not.
    void open(Kind kind, int count, quint16 port, const QByteArray &cookie, int first, int last)
    {
        m_kind = kind;
        m_port = port;
        m_cookie = cookie;
        m_first = first;
        m_last = last;
        m_conns = std::vector<Conn>(size_t(count));
        m_next = 0;
        m_opening = 0;
        m_nRetries = 0;
        m_nDropped = 0;
        m_nReady = 0;
        m_nReceived = 0;
        m_arrivals.clear();
        m_arrivals.reserve(size_t(count) * size_t(last - first + 1));
        openMore();
        if (kind == Kind::Client) {
            // A real client acknowledges now and then; without it the server
            // drops the link after four silent heartbeats.
            m_ack.reset(new QTimer);
            QObject::connect(m_ack.get(), &QTimer::timeout, m_ack.get(), [this] {
                static const QByteArray ack = QJsonDocument(QJsonObject{{"b", "DATARECEIVED"}}).toJson();
                for (Conn &c : m_conns) {
                    if (c.ready)
                        c.socket->write(ack);
                }
            });
            m_ack->start(2000);
        }
    }

    void close()
    {
        m_ack.reset();
        for (Conn &c : m_conns) {
            // Closing our own end is neither a drop nor a refusal.
            if (c.socket)
                QObject::disconnect(c.socket, nullptr, c.socket, nullptr);
            delete c.socket;
        }
        m_conns.clear();
    }

    int retries() const { return m_nRetries; }
    int dropped() const { return m_nDropped; }
    int ready() const { return m_nReady.load(); }
    long long received() const { return m_nReceived.load(); }
    // Read in the reader thread, or after the phase.
    const std::vector<Conn> &conns() const { return m_conns; }
    // Event index and receipt time of every event read; paired with the
    // delivery times after the phase, so the two threads share nothing
    // while it runs.
    struct Arrival
    {
        int index;
        qint64 ns;
    };
    const std::vector<Arrival> &arrivals() const { return m_arrivals; }

private:
    void openMore()
    {
        for (; m_opening < MaxOpening && m_next < int(m_conns.size()); ++m_next)
            start(m_next);
    }

    void start(int i)
    {
        ++m_opening;
        Conn &c = m_conns[size_t(i)];
        if (c.socket)
            c.socket->deleteLater();
        c.buf.clear();
        c.socket = new QTcpSocket;
        if (m_kind == Kind::Client) // not this machine's address: "Remote" accounts, the real heartbeat
            c.socket->bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
        QTcpSocket *s = c.socket;
        QObject::connect(s, &QTcpSocket::connected, s, [this, s, i] {
            if (m_kind == Kind::Sse)
                s->write("GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                         "Cookie: fs_session=" + m_cookie + "\r\n\r\n");
            else
                s->write(QJsonDocument(QJsonObject{{"b", "LOGIN"}, {"t", QStringLiteral("r%1").arg(i)}, {"u", "pw"}})
                             .toJson(QJsonDocument::Indented));
        });
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, i] { onRead(m_conns[size_t(i)]); });
        QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, i] {
            Conn &c = m_conns[size_t(i)];
            QObject::disconnect(s, nullptr, s, nullptr);
            if (c.ready) {
                ++m_nDropped;
                return;
            }
            ++m_nRetries;
            --m_opening;
            QTimer::singleShot(RetryMs, s, [this, i] { start(i); });
        });
        s->connectToHost(QHostAddress::LocalHost, m_port);
    }

    void onRead(Conn &c)
    {
        c.buf += c.socket->readAll();
        const qint64 now = monoNs();
        if (m_kind == Kind::Sse)
            readFrames(c, now);
        else
            readObjects(c, now);
    }

    void readFrames(Conn &c, qint64 now)
    {
        int at = 0;
        for (int end; (end = c.buf.indexOf("\n\n", at)) >= 0; at = end + 2) {
            const QByteArray frame = c.buf.mid(at, end - at);
            if (frame.startsWith("id: "))
                count(c, indexAfter(frame, "\"code\":\""), now);
            else if (!c.ready && frame.contains("retry: ")) // after the head: the stream was adopted
                setReady(c);
        }
        c.buf.remove(0, at);
    }

    void readObjects(Conn &c, qint64 now)
    {
        for (;;) {
            const JsonSplitter::Result r = c.splitter.next(c.buf);
            c.buf.remove(0, r.consumed);
            if (r.status != JsonSplitter::Complete) {
                if (r.consumed == 0)
                    break;
                continue;
            }
            // The word and the code only: a full parse would make the
            // readers, not the server, the limit.
            if (r.object.contains("\"b\": \"NewEvent\""))
                count(c, indexAfter(r.object, "\"m\": \""), now);
            else if (!c.ready && r.object.contains("\"b\": \"LogOK_Mulsys\""))
                setReady(c);
        }
    }

    void setReady(Conn &c)
    {
        c.ready = true;
        m_nReady.fetch_add(1);
        --m_opening;
        openMore();
    }

    void count(Conn &c, int index, qint64 now)
    {
        if (index < m_first || index > m_last)
            return;
        m_arrivals.push_back({index, now});
        if (index <= c.lastIndex)
            c.inOrder = false;
        c.lastIndex = index;
        ++c.received;
        m_nReceived.fetch_add(1, std::memory_order_relaxed);
    }

    Kind m_kind = Kind::Sse;
    quint16 m_port = 0;
    QByteArray m_cookie;
    int m_next = 0;    // the next connection to open
    int m_opening = 0; // opened, not yet ready
    int m_nRetries = 0;
    int m_nDropped = 0;
    int m_first = 0;
    int m_last = 0;
    std::vector<Conn> m_conns;
    std::vector<Arrival> m_arrivals;
    std::atomic<int> m_nReady{0};
    std::atomic<long long> m_nReceived{0};
    std::unique_ptr<QTimer> m_ack;
};

struct Phase
{
    Phase(const char *n, int c) : name(n), conns(c) {}
    const char *name;
    int conns;
    int injected = 0;
    int delivered = 0;
    long long missing = 0;
    int outOfOrder = 0;
    int retries = 0; // connections refused while opening, opened again
    int dropped = 0; // connections the server closed during the phase
    std::vector<double> latencyMs;
    std::vector<double> writeSpanMs; // from the pacing step to the end of its emit
    double wall = 0;
    double serverCpu = 0;
    double cpuPerWall() const { return wall > 0 ? serverCpu / wall : 0; }
};

// Logs in on the web console; the session cookie, empty on failure. The
// server answers from this thread, so the wait turns its event loop.
QByteArray webLogin(quint16 port, const QByteArray &user, const QByteArray &password)
{
    QTcpSocket s;
    QByteArray in;
    QObject::connect(&s, &QTcpSocket::readyRead, [&] { in += s.readAll(); });
    QObject::connect(&s, &QTcpSocket::connected, [&] {
        const QByteArray body = R"({"user":")" + user + R"(","password":")" + password + R"("})";
        s.write("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    });
    s.connectToHost(QHostAddress::LocalHost, port);
    waitFor([&] { return s.state() == QAbstractSocket::UnconnectedState || in.contains("\r\n\r\n{"); }, 10000);
    const int at = in.indexOf("fs_session=");
    return at < 0 ? QByteArray() : in.mid(at + 11, in.indexOf(';', at) - at - 11);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    // Web/maxSessions takes at most 1000; the login needs a place too.
    const int nStreams = qBound(1, argValue(args, "--streams", 200), 990);
    const int seconds = qBound(1, argValue(args, "--seconds", 60), 3600);
    const int rate = qBound(1, argValue(args, "--rate", 25), 1000);
    const bool paint = !args.contains(QStringLiteral("--no-paint"));
    const int perPhase = seconds * rate;
    // Logins, disconnections and the streams' ends are logged; keep the output to figures.
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}%{if-critical}%{message}%{endif}"));

    QTemporaryDir dir;
    AppPaths::setAppDir(dir.path());
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    QFile::copy(defaultSourceDir() + QStringLiteral("/site/SysSet.xml"), dir.filePath(QStringLiteral("SysSet.xml")));
    if (!writeEventTable(dir.filePath(QStringLiteral("EventConfig.xml"))) || !ini.open(QIODevice::WriteOnly)
        || ini.write(QStringLiteral("[Server]\nmaxConnectionsPerAddress=%1\n[Web]\nhost=127.0.0.1\nmaxSessions=%2\n")
                         .arg(nStreams + 16).arg(nStreams + 10).toLatin1()) < 0) {
        std::fprintf(stderr, "bench_web: cannot write the site in %s\n", qPrintable(dir.path()));
        return 1;
    }
    ini.close();
    ServerContext::instance().loadIni();
    FireServer::Options options = Site::freePorts();
    options.webPort = 0;
    FireServer server(options);
    if (!server.start() || !server.service<WebService>()) {
        std::fprintf(stderr, "bench_web: the server or its web console did not start\n");
        return 1;
    }
    WebService &web = *server.service<WebService>();
    ServerContext::instance().isHaveUserType = true; // "Remote" accounts have no count limit
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.addAccount(QStringLiteral("web"), QStringLiteral("pw"), QStringLiteral("Local"));
    for (int i = 0; i < nStreams; ++i)
        accounts.addAccount(QStringLiteral("r%1").arg(i), QStringLiteral("pw"), QStringLiteral("Remote"));
    const QByteArray cookie = webLogin(web.port(), "web", "pw");
    if (cookie.isEmpty()) {
        std::fprintf(stderr, "bench_web: the web login failed\n");
        return 1;
    }

    // The bench takes the dispatcher's pacing step itself, at its interval,
    // so that the delivery time is taken before anything handles the event.
    CEventProcess &dispatcher = *server.dispatcher();
    dispatcher.setTimersEnabled(false);
    std::vector<qint64> deliveredNs(size_t(3 * perPhase + 1), 0);
    qint64 stepNs = 0;
    int nDelivered = 0;
    Phase *current = nullptr;
    QObject::connect(&dispatcher, &CEventProcess::sendEventToClient, &dispatcher, [&](int, const CEvent &e, const QString &) {
        const int index = e.strCode.toInt();
        if (index > 0 && index < int(deliveredNs.size()))
            deliveredNs[size_t(index)] = stepNs;
        ++nDelivered;
    });
    QTimer pacing;
    pacing.setInterval(CEventProcess::TickIntervalMs);
    QObject::connect(&pacing, &QTimer::timeout, [&] {
        stepNs = monoNs();
        const int before = nDelivered;
        dispatcher.tick();
        // Every handler has run: the SSE hub and the clients have the bytes in their buffers.
        if (current && nDelivered > before)
            current->writeSpanMs.push_back((monoNs() - stepNs) / 1e6);
    });
    pacing.start();

    QThread readerThread;
    readerThread.setObjectName(QStringLiteral("readers"));
    readerThread.start();
    QObject context;
    context.moveToThread(&readerThread);
    Readers readers;
    const auto inReaders = [&](const std::function<void()> &f) {
        QMetaObject::invokeMethod(&context, f, Qt::BlockingQueuedConnection);
    };

    int nextIndex = 1;
    const auto run = [&](Phase &p, Kind kind) -> bool {
        const int first = nextIndex, last = nextIndex + perPhase - 1;
        if (p.conns > 0) {
            inReaders([&] { readers.open(kind, p.conns, kind == Kind::Sse ? web.port() : server.clientListener()->serverPort(),
                                         cookie, first, last); });
            const bool up = waitFor([&] {
                return readers.ready() == p.conns && (kind == Kind::Client || web.stream()->streamCount() == p.conns);
            }, 120000, 20);
            if (!up) {
                std::fprintf(stderr, "bench_web: %s: only %d of %d connections ready\n", p.name, readers.ready(), p.conns);
                inReaders([&] { readers.close(); });
                return false;
            }
        }
        current = &p;
        const int delivered0 = nDelivered;
        double readerCpu0 = 0, readerCpu1 = 0;
        inReaders([&] { readerCpu0 = clockSeconds(CLOCK_THREAD_CPUTIME_ID); });
        const double cpu0 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const qint64 t0 = monoNs();
        // The source: one event per 1/rate s, each with the next index as its device code.
        QTimer source;
        source.setTimerType(Qt::PreciseTimer);
        QObject::connect(&source, &QTimer::timeout, [&] {
            const int due = int(qMin<qint64>(last, first + (monoNs() - t0) * rate / 1000000000));
            for (; nextIndex <= due; ++nextIndex) {
                CEvent e;
                e.nCom = 1;
                e.nPanelID = 1;
                e.nPanelType = 20;
                e.nEventCode = 1; // the table's 1900
                e.nEventProperty = 1;
                e.strCode = codeOf(nextIndex);
                e.strNote = QStringLiteral("一号楼三层东侧走廊 烟感");
                e.strTime = nowText();
                ConfigTables::instance().complete(e);
                dispatcher.handleEvent(e);
                ++p.injected;
            }
            if (nextIndex > last)
                source.stop();
        });
        source.start(qMax(1, 1000 / rate));
        const long long expected = (long long)p.conns * perPhase;
        waitFor([&] {
            return nextIndex > last && nDelivered - delivered0 >= perPhase && readers.received() >= expected;
        }, (seconds * 2 + 30) * 1000, 20);
        const qint64 t1 = monoNs();
        const double cpu1 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        inReaders([&] { readerCpu1 = clockSeconds(CLOCK_THREAD_CPUTIME_ID); });
        source.stop();
        current = nullptr;
        nextIndex = last + 1;
        p.delivered = nDelivered - delivered0;
        p.wall = (t1 - t0) / 1e9;
        p.serverCpu = (cpu1 - cpu0) - (readerCpu1 - readerCpu0);
        p.missing = expected - readers.received();
        inReaders([&] {
            for (const Readers::Conn &c : readers.conns())
                p.outOfOrder += c.inOrder ? 0 : 1;
            p.retries = readers.retries();
            p.dropped = readers.dropped();
            p.latencyMs.reserve(readers.arrivals().size());
            for (const Readers::Arrival &a : readers.arrivals())
                p.latencyMs.push_back((a.ns - deliveredNs[size_t(a.index)]) / 1e6);
            readers.close();
        });
        // The server notices the ends before the next phase starts.
        waitFor([&] { return web.stream()->streamCount() == 0 && server.clients().isEmpty(); }, 30000, 20);
        return true;
    };

    // Other work on the machine shows in the latencies first: say how busy it was.
    const auto printLoad = [](const char *when) {
        QFile loadavg(QStringLiteral("/proc/loadavg"));
        if (loadavg.open(QIODevice::ReadOnly))
            std::printf("load average %s: %s", when, loadavg.readLine().constData());
    };
    printLoad("before the run");
    std::printf("%d events per phase, %d/s for %d s (the dispatcher paces one per %d ms); "
                "phases: no reader, %d SSE streams, %d client-protocol connections\n",
                perPhase, rate, seconds, CEventProcess::TickIntervalMs, nStreams, nStreams);
    std::fflush(stdout);
    Phase base("no reader", 0), sse("SSE streams", nStreams), client("client protocol", nStreams);
    bool ok = true;
    for (auto [p, kind] : {std::pair<Phase *, Kind>{&base, Kind::Sse}, {&sse, Kind::Sse}, {&client, Kind::Client}}) {
        ok = run(*p, kind) && ok;
        std::printf("%-16s %4d conns: %d injected, %d delivered in %.1f s; missing %lld, out of order %d, "
                    "server CPU %.3f s per wall s\n",
                    p->name, p->conns, p->injected, p->delivered, p->wall, p->missing, p->outOfOrder, p->cpuPerWall());
        if (p->conns > 0) {
            std::printf("  connections refused while opening (opened again): %d; closed by the server: %d\n",
                        p->retries, p->dropped);
            printDistribution("  delivery -> reader socket", p->latencyMs);
            printDistribution("  step -> all written to buffers", p->writeSpanMs);
        }
        std::fflush(stdout);
    }

    const auto perConn = [&](const Phase &p) { return (p.cpuPerWall() - base.cpuPerWall()) / p.conns; };
    const auto p99 = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return percentile(v, 99);
    };
    const double sseCost = perConn(sse), clientCost = perConn(client);
    std::printf("CPU added per connection: SSE %.3f ms per wall s (%.1f us per event), client protocol %.3f ms per "
                "wall s (%.1f us per event); SSE / client protocol = %.2f\n",
                sseCost * 1e3, sseCost * 1e6 / rate, clientCost * 1e3, clientCost * 1e6 / rate,
                clientCost > 0 ? sseCost / clientCost : 0.0);
    std::printf("latency p99: SSE %.2f ms, client protocol %.2f ms; SSE / client protocol = %.2f\n", p99(sse.latencyMs),
                p99(client.latencyMs), p99(client.latencyMs) > 0 ? p99(sse.latencyMs) / p99(client.latencyMs) : 0.0);
    printLoad("after the streams");
    const bool sseOk = ok && sse.missing == 0 && sse.outOfOrder == 0 && sse.delivered == perPhase
        && p99(sse.latencyMs) < 100;
    std::printf("targets (every stream every event, in order; p99 delivery -> socket < 100 ms): %s\n",
                sseOk ? "met" : "NOT met");
    std::fflush(stdout);

    int paintRc = 0;
    if (paint) {
        // The overview as a browser loads it after the run: the ring holds the events just delivered.
        const QString source = defaultSourceDir();
        QProcess node;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BASE_URL"), QStringLiteral("http://127.0.0.1:%1").arg(web.port()));
        env.insert(QStringLiteral("WEB_USER"), QStringLiteral("web"));
        env.insert(QStringLiteral("WEB_PASSWORD"), QStringLiteral("pw"));
        node.setProcessEnvironment(env);
        node.setProcessChannelMode(QProcess::ForwardedChannels);
        node.start(QStringLiteral("node"), {source + QStringLiteral("/bench/web-paint.mjs")});
        if (!node.waitForStarted(10000)) {
            std::printf("paint: node does not start (scripts/deps.sh installs it); skipped\n");
            paintRc = 1;
        } else {
            waitFor([&] { return node.state() == QProcess::NotRunning; }, 300000, 50);
            if (node.state() != QProcess::NotRunning) {
                node.kill();
                node.waitForFinished(5000);
            }
            paintRc = node.exitStatus() == QProcess::NormalExit ? node.exitCode() : 1;
        }
    }

    pacing.stop();
    readerThread.quit();
    readerThread.wait();
    server.shutdown();
    return sseOk && paintRc == 0 ? 0 : 1;
}
