// Client service under load: N clients logged in over loopback while the
// dispatcher delivers at its paced rate (one event per 40 ms) for the given
// time. Prints events per client, the in-order check, latency from the
// dispatcher's emit to each client's receipt, and the server thread's CPU
// seconds per wall second.
//
//   bench_clients [--clients 500] [--seconds 60] [--metrics] [--scrape-ms 1000]
//
// The server side is the real server object in process (dispatcher,
// listener, CClient objects in the main thread); the peers run in a second
// thread so the server's CPU time can be measured apart from theirs. With
// --metrics the server also answers /metrics, scraped every scrape-ms from
// the peer thread (compare a run without).

#include "clients/cclient.h"
#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "clients/jsonsplitter.h"
#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "server/fireserver.h"
#include "server/monitoring.h"
#include "serverbench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <time.h>
#include <vector>

namespace {

qint64 monoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double threadCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// User and system time of the calling thread.
void threadUserSys(double *user, double *sys)
{
    rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    *user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
    *sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

double processCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Emit time of every event by its id, written by the server thread before
// the bytes go out and read by the peer thread after they arrive.
std::vector<std::atomic<qint64>> *g_emitNs = nullptr;

struct PeerStats
{
    int received = 0;
    int lastId = 0;
    bool inOrder = true;
    bool loggedIn = false;
    bool disconnected = false;
};

// All peers, living in the peer thread.
class PeerFarm
{
public:
    PeerFarm(int count, quint16 port, quint16 metricsPort = 0, int scrapeMs = 1000)
        : m_count(count), m_port(port), m_metricsPort(metricsPort), m_scrapeMs(scrapeMs)
    {
    }

    void start()
    {
        m_stats.resize(m_count);
        m_latencyUs.reserve(size_t(m_count) * 1600);
        for (int i = 0; i < m_count; ++i) {
            auto *s = new QTcpSocket;
            m_sockets.push_back(s);
            m_buffers.emplace_back();
            m_splitters.emplace_back();
            // 127.0.0.2 is not an address of this machine: the accounts are
            // of type "Remote" and the connections get the real heartbeat.
            s->bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
            QObject::connect(s, &QTcpSocket::connected, s, [this, i]() {
                QJsonObject o{{"b", "LOGIN"}, {"t", QStringLiteral("r%1").arg(i)}, {"u", "pw"}};
                m_sockets[i]->write(QJsonDocument(o).toJson(QJsonDocument::Indented));
            });
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, i]() { onRead(i); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this, i]() { m_stats[i].disconnected = true; });
            s->connectToHost(QHostAddress(QHostAddress::LocalHost), m_port);
        }
        // A real client acknowledges now and then; without it the server
        // drops the link after four silent heartbeats.
        m_ackTimer = new QTimer;
        QObject::connect(m_ackTimer, &QTimer::timeout, m_ackTimer, [this]() {
            static const QByteArray ack = QJsonDocument(QJsonObject{{"b", "DATARECEIVED"}}).toJson();
            for (QTcpSocket *s : m_sockets)
                s->write(ack);
        });
        m_ackTimer->start(2000);
        if (m_metricsPort) {
            // A scraper as a monitoring system runs it: one GET, read to the end.
            m_scrapeTimer = new QTimer;
            QObject::connect(m_scrapeTimer, &QTimer::timeout, m_scrapeTimer, [this]() {
                auto *s = new QTcpSocket;
                QObject::connect(s, &QTcpSocket::connected, s, [s]() {
                    s->write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
                });
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s]() { m_nScrapedBytes += s->readAll().size(); });
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s]() {
                    ++m_nScrapes;
                    s->deleteLater();
                });
                s->connectToHost(QHostAddress(QHostAddress::LocalHost), m_metricsPort);
            });
            m_scrapeTimer->start(m_scrapeMs);
        }
    }

    // CPU seconds of the peer thread so far (call in the peer thread).
    static double ownCpuSeconds() { return threadCpuSeconds(); }
    int scrapes() const { return m_nScrapes; }
    qint64 scrapedBytes() const { return m_nScrapedBytes; }

    void stop()
    {
        delete m_ackTimer;
        delete m_scrapeTimer;
        for (QTcpSocket *s : m_sockets) {
            // Closing our own end is not a drop by the server.
            QObject::disconnect(s, nullptr, s, nullptr);
            delete s;
        }
        m_sockets.clear();
    }

    int loggedIn() const { return m_nLoggedIn.load(); }
    long long totalReceived() const { return m_nReceived.load(); }
    // Read after the thread has finished.
    const std::vector<PeerStats> &stats() const { return m_stats; }
    std::vector<qint64> &latencies() { return m_latencyUs; }
    int badMessages() const { return m_nBad; }

private:
    void onRead(int i)
    {
        QTcpSocket *s = m_sockets[i];
        QByteArray &buf = m_buffers[i];
        buf += s->readAll();
        const qint64 now = monoNs();
        for (;;) {
            const JsonSplitter::Result r = m_splitters[i].next(buf);
            buf.remove(0, r.consumed);
            if (r.status != JsonSplitter::Complete) {
                if (r.consumed == 0)
                    break;
                continue;
            }
            // Only the word and the id are needed; a full parse here would
            // make the peers, not the server, the bottleneck of the figures.
            const QByteArray word = member(r.object, "\"b\": \"", '"');
            PeerStats &st = m_stats[i];
            if (word == "NewEvent") {
                const int id = member(r.object, "\"j\": ", ',').toInt();
                if (id <= 0 || id >= int(g_emitNs->size())) {
                    ++m_nBad;
                    continue;
                }
                m_latencyUs.push_back(((now - (*g_emitNs)[id].load(std::memory_order_acquire)) / 1000));
                if (id != st.lastId + 1)
                    st.inOrder = false;
                st.lastId = id;
                ++st.received;
                m_nReceived.fetch_add(1, std::memory_order_relaxed);
            } else if (word == "LogOK_Mulsys") {
                st.loggedIn = true;
                m_nLoggedIn.fetch_add(1);
            } else if (word != "BEAT") {
                ++m_nBad;
            }
        }
    }

    static QByteArray member(const QByteArray &obj, const char *prefix, char end)
    {
        const int from = obj.indexOf(prefix);
        if (from < 0)
            return QByteArray();
        const int start = from + int(qstrlen(prefix));
        const int stop = obj.indexOf(end, start);
        return stop < 0 ? QByteArray() : obj.mid(start, stop - start);
    }

    int m_count;
    quint16 m_port;
    quint16 m_metricsPort;
    int m_scrapeMs;
    QTimer *m_scrapeTimer = nullptr;
    int m_nScrapes = 0;
    qint64 m_nScrapedBytes = 0;
    std::vector<QTcpSocket *> m_sockets;
    std::vector<QByteArray> m_buffers;
    std::vector<JsonSplitter> m_splitters;
    std::vector<PeerStats> m_stats;
    std::vector<qint64> m_latencyUs;
    std::atomic<int> m_nLoggedIn{0};
    std::atomic<long long> m_nReceived{0};
    int m_nBad = 0;
    QTimer *m_ackTimer = nullptr;
};

qint64 percentile(const std::vector<qint64> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t idx = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return sorted[idx];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int nClients = 500;
    int nSeconds = 60;
    int scrapeMs = 1000;
    const QStringList args = app.arguments();
    const bool metrics = args.contains(QStringLiteral("--metrics"));
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--clients"))
            nClients = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--seconds"))
            nSeconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--scrape-ms"))
            scrapeMs = qMax(100, args[i + 1].toInt());
    }
    if (nClients <= 0 || nSeconds <= 0) {
        std::fprintf(stderr, "usage: bench_clients [--clients N] [--seconds S]\n");
        return 2;
    }
    // The server logs every login and disconnection; keep the output to figures.
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}%{if-critical}%{message}%{endif}"));

    QTemporaryDir dir;
    AppPaths::setAppDir(dir.path());
    if (!ServerBench::writeEventTable(dir.filePath(QStringLiteral("EventConfig.xml")))
        || !ConfigTables::instance().loadEventTable(dir.filePath(QStringLiteral("EventConfig.xml")))) {
        std::fprintf(stderr, "cannot write the event table\n");
        return 1;
    }
    // Every peer comes from 127.0.0.2: lift the per-address bound as a site
    // with that many clients behind one address would.
    {
        QFile ini(dir.filePath(QStringLiteral("config.ini")));
        if (!ini.open(QIODevice::WriteOnly)
            || ini.write(QStringLiteral("[Server]\nmaxConnectionsPerAddress=%1\n").arg(nClients + 16).toLatin1()) < 0) {
            std::fprintf(stderr, "cannot write config.ini\n");
            return 1;
        }
    }
    ServerContext::instance().loadIni();
    FireServer::Options options;
    options.clientPort = options.centrePort = options.queryPort = 0;
    options.metricsPort = metrics ? 0 : -1; // no config.ini: -1 is off
    FireServer fireServer(options);
    if (!fireServer.start()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const quint16 metricsPort = fireServer.monitoring() ? fireServer.monitoring()->port() : 0;
    ServerContext &ctx = ServerContext::instance();
    ctx.isHaveUserType = true; // "Remote" accounts have no count limit
    ClientAccounts &accounts = ClientAccounts::instance();
    for (int i = 0; i < nClients; ++i)
        accounts.addAccount(QStringLiteral("r%1").arg(i), QStringLiteral("pw"), QStringLiteral("Remote"));

    const int nEvents = nSeconds * 1000 / CEventProcess::TickIntervalMs;
    std::vector<std::atomic<qint64>> emitNs(size_t(nEvents) + 1);
    g_emitNs = &emitNs;

    CEventProcess &dispatcher = *fireServer.dispatcher();
    int nEmitted = 0;
    qint64 firstEmit = 0, lastEmit = 0;
    // Connected before any client, so it runs first on every emit.
    QObject::connect(&dispatcher, &CEventProcess::sendEventToClient, &dispatcher,
                     [&](int, const CEvent &v, const QString &) {
                         const int id = v.nAddress;
                         const qint64 now = monoNs();
                         if (id > 0 && id <= nEvents)
                             emitNs[size_t(id)].store(now, std::memory_order_release);
                         if (nEmitted++ == 0)
                             firstEmit = now;
                         lastEmit = now;
                     });

    std::vector<qint64> emitSpans; // ns from the emit to the last client's write
    emitSpans.reserve(size_t(nEvents));

    int nConnected = 0;
    int nLoggedIn = 0;
    QObject::connect(&fireServer, &FireServer::clientConnected, &fireServer, [&](CClient *c) {
        QObject::connect(c, &CClient::eSetUserConnState, c, [&](const QString &, int st) {
            nLoggedIn += st == 1 ? 1 : -1;
        });
        ++nConnected;
    });

    QThread peerThread;
    PeerFarm farm(nClients, fireServer.clientListener()->serverPort(), metricsPort, scrapeMs);
    peerThread.start();
    QObject context;
    context.moveToThread(&peerThread);
    QMetaObject::invokeMethod(&context, [&]() { farm.start(); }, Qt::BlockingQueuedConnection);

    std::printf("clients: %d, events: %d at one per %d ms (%d s)\n", nClients, nEvents,
                CEventProcess::TickIntervalMs, nSeconds);
    QElapsedTimer phase;
    phase.start();

    // Phase 1: all clients logged in.
    QTimer poll;
    double cpuStart = 0, procStart = 0, userStart = 0, sysStart = 0, peerCpuStart = 0, peerCpuEnd = 0;
    qint64 wallStart = 0;
    bool feeding = false;
    bool done = false;
    const qint64 loginDeadlineMs = 60000;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&]() {
        if (!feeding) {
            if (nLoggedIn == nClients && farm.loggedIn() == nClients) {
                std::printf("logged in: %d clients in %.2f s\n", nClients, phase.elapsed() / 1000.0);
                feeding = true;
                // Connected after every client: runs when all have been served.
                QObject::connect(&dispatcher, &CEventProcess::sendEventToClient, &dispatcher,
                                 [&](int, const CEvent &, const QString &) {
                                     emitSpans.push_back(monoNs() - lastEmit);
                                 });
                cpuStart = threadCpuSeconds();
                QMetaObject::invokeMethod(&context, [&]() { peerCpuStart = PeerFarm::ownCpuSeconds(); },
                                          Qt::BlockingQueuedConnection);
                threadUserSys(&userStart, &sysStart);
                procStart = processCpuSeconds();
                wallStart = monoNs();
                for (int id = 1; id <= nEvents; ++id) {
                    CEvent e;
                    e.nCom = 1;
                    e.nPanelID = 1;
                    e.nPanelType = 20;
                    e.nEventCode = 1;
                    e.nEventProperty = 1;
                    e.nAddress = id;
                    e.strCode = QStringLiteral("%1").arg(id, 8, 10, QLatin1Char('0'));
                    e.strNote = QStringLiteral("基准测试事件");
                    e.strTime = nowText();
                    dispatcher.handleEvent(e);
                }
                phase.restart();
            } else if (phase.elapsed() > loginDeadlineMs) {
                std::printf("login phase timed out: %d of %d logged in (server %d, connected %d)\n",
                            farm.loggedIn(), nClients, nLoggedIn, nConnected);
                done = true;
                app.quit();
            }
            return;
        }
        const bool allIn = farm.totalReceived() >= (long long)nClients * nEvents;
        if ((nEmitted >= nEvents && allIn) || phase.elapsed() > (nSeconds + 15) * 1000LL) {
            done = true;
            app.quit();
        }
    });
    poll.start(50);
    app.exec();
    (void)done;

    const double wall = (monoNs() - wallStart) / 1e9;
    const double cpu = threadCpuSeconds() - cpuStart;
    const double procCpu = processCpuSeconds() - procStart;
    double userEnd = 0, sysEnd = 0;
    threadUserSys(&userEnd, &sysEnd);
    QMetaObject::invokeMethod(&context, [&]() { peerCpuEnd = PeerFarm::ownCpuSeconds(); }, Qt::BlockingQueuedConnection);
    // The whole server: every thread of the process but the peers'.
    const double serverCpu = procCpu - (peerCpuEnd - peerCpuStart);
    QMetaObject::invokeMethod(&context, [&]() { farm.stop(); }, Qt::BlockingQueuedConnection);
    peerThread.quit();
    peerThread.wait();

    if (!feeding)
        return 1;
    const auto &stats = farm.stats();
    int minRecv = nEvents, maxRecv = 0, outOfOrder = 0, dropped = 0;
    for (const PeerStats &s : stats) {
        minRecv = std::min(minRecv, s.received);
        maxRecv = std::max(maxRecv, s.received);
        if (!s.inOrder)
            ++outOfOrder;
        if (s.disconnected)
            ++dropped;
    }
    std::vector<qint64> &lat = farm.latencies();
    std::sort(lat.begin(), lat.end());
    const double emitSpan = (lastEmit - firstEmit) / 1e9;
    std::printf("dispatcher: %d events emitted in %.1f s (%.1f events/s)\n", nEmitted, emitSpan,
                emitSpan > 0 ? (nEmitted - 1) / emitSpan : 0.0);
    std::printf("events received per client: min %d, max %d (expected %d); lost %lld\n", minRecv, maxRecv,
                nEvents, (long long)nClients * nEvents - farm.totalReceived());
    std::printf("in order: %s (%d clients out of order), unexpected messages %d, connections dropped %d\n",
                outOfOrder == 0 ? "yes" : "NO", outOfOrder, farm.badMessages(), dropped);
    std::printf("latency emit->receipt: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)\n",
                percentile(lat, 0.50) / 1000.0, percentile(lat, 0.99) / 1000.0,
                lat.empty() ? 0.0 : lat.back() / 1000.0, lat.size());
    std::sort(emitSpans.begin(), emitSpans.end());
    std::printf("server: one event written to all %d clients in p50 %.2f ms, max %.2f ms\n", nClients,
                percentile(emitSpans, 0.5) / 1e6, emitSpans.empty() ? 0.0 : emitSpans.back() / 1e6);
    std::printf("server thread CPU: %.2f s in %.1f s wall = %.3f CPU s per wall s (user %.3f, system %.3f; "
                "whole process incl. peers: %.3f)\n",
                cpu, wall, cpu / wall, (userEnd - userStart) / wall, (sysEnd - sysStart) / wall, procCpu / wall);
    std::printf("server, all its threads (process minus peers): %.3f CPU s per wall s; metrics %s\n",
                serverCpu / wall,
                metrics ? qPrintable(QStringLiteral("on, %1 scrapes of %2 bytes")
                                         .arg(farm.scrapes())
                                         .arg(farm.scrapes() ? farm.scrapedBytes() / farm.scrapes() : 0))
                        : "off");
    const bool ok = minRecv == nEvents && maxRecv == nEvents && outOfOrder == 0
        && percentile(lat, 0.99) < 20000 && cpu / wall < 0.3;
    std::printf("targets (none lost or reordered, p99 < 20 ms, < 0.3 CPU s/s): %s\n", ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}
