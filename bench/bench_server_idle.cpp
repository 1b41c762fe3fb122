// The real executable at rest: N Birch controllers (8 by default) polling
// simulated panels that have nothing to report, and logged-in clients that
// say nothing. Prints the server process's CPU seconds per wall second over
// the measured period (all its threads, from /proc/PID/stat), its resident
// memory, threads and context switches, and the poll cycles per second each
// panel saw, per model; then the time from SIGTERM to exit with the drivers
// running. With --mixed the site has N panels of each serial model instead:
// Birch, Ash, Cedar and Dune.
//
// The simulators run in this process on ptys; only the server is measured.
//
//   bench_server_idle [--panels 8] [--mixed] [--seconds 60] [--clients 1] [--warmup-s 5]
//                     [--server build/fireserver] [--source SRC] [--no-log]
//                     [--metrics] [--scrape-ms 1000]
// With --metrics the server answers /metrics on a local port and the bench
// scrapes it every scrape-ms during the measurement (compare a run without).

#include "bench/serverbench.h"
#include "tools/sim/birchpanelsim.h"
#include "tools/sim/cedarpanelsim.h"

#include <QTemporaryDir>

#include <memory>

using namespace ServerBench;

namespace {
struct BenchModel
{
    const char *name;
    int type;
    // Frames of the simulator that each start one poll cycle.
    QStringList cycleFrames;
    std::unique_ptr<PanelSim> (*makeSim)(int id);
};

const QList<BenchModel> &benchModels()
{
    static const QList<BenchModel> models = {
        {"ControllerBirch", 22, {"poll ", "record-request "},
         [](int id) -> std::unique_ptr<PanelSim> { return std::make_unique<BirchPanelSim>(id); }},
        {"ControllerAsh", 20, {"poll ", "record-request "},
         [](int id) -> std::unique_ptr<PanelSim> { return std::make_unique<BirchPanelSim>(id); }},
        // A Cedar-family cycle may begin with a record request; its handshake always comes.
        {"ControllerCedar", 50, {"handshake poll "},
         [](int id) -> std::unique_ptr<PanelSim> { return std::make_unique<CedarPanelSim>(id); }},
        {"ControllerDune", 160, {"handshake poll "},
         [](int id) -> std::unique_ptr<PanelSim> { return std::make_unique<CedarPanelSim>(id, CedarPanelSim::Dune); }},
    };
    return models;
}

struct SimPanel
{
    int model = 0;
    std::unique_ptr<PanelSim> sim;
    std::unique_ptr<SimSerialPort> port;
    long long cycles = 0;
};
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int perModel = qBound(0, argValue(args, QStringLiteral("--panels"), 8), 64);
    const int modelCount = args.contains(QStringLiteral("--mixed")) ? benchModels().size() : 1;
    const int panels = perModel * modelCount;
    const int seconds = qBound(5, argValue(args, QStringLiteral("--seconds"), 60), 600);
    const int clients = qBound(0, argValue(args, QStringLiteral("--clients"), 1), MaxClients);
    const int warmupS = qBound(0, argValue(args, QStringLiteral("--warmup-s"), 5), 60);
    const QString serverPath = argText(args, QStringLiteral("--server"), defaultServerPath());
    const QString sourceDir = argText(args, QStringLiteral("--source"), defaultSourceDir());
    const bool withLog = !args.contains(QStringLiteral("--no-log"));
    const bool metrics = args.contains(QStringLiteral("--metrics"));
    const int scrapeMs = qBound(100, argValue(args, QStringLiteral("--scrape-ms"), 1000), 60000);
    const quint16 metricsPort = metrics ? freeTcpPort() : 0;

    if (!serverPortsFree())
        return 3;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimPanel>> sims;
    QList<SiteController> list;
    for (int n = 1; n <= panels; ++n) {
        auto p = std::make_unique<SimPanel>();
        p->model = (n - 1) / qMax(perModel, 1);
        const BenchModel &m = benchModels().at(p->model);
        p->sim = m.makeSim(n);
        p->port = std::make_unique<SimSerialPort>(*p->sim);
        SiteController c;
        c.id = n;
        c.comNumber = n;
        c.type = m.type;
        c.devicePath = dir.filePath(QStringLiteral("pty%1").arg(n));
        if (!p->port->createPty(c.devicePath)) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(p->port->errorText()));
            return 1;
        }
        long long *count = &p->cycles;
        const QStringList starts = m.cycleFrames;
        QObject::connect(p->port.get(), &SimSerialPort::frameReceived, [count, starts](const QString &text) {
            for (const QString &start : starts)
                if (text.startsWith(start))
                    ++*count;
        });
        sims.push_back(std::move(p));
        list.append(c);
    }
    if (!writeSite(dir.path(), sourceDir, list, withLog,
                   metrics ? QByteArray("metricsPort=") + QByteArray::number(metricsPort) + '\n' : QByteArray()))
        return 1;

    ServerProcess server(serverPath, dir.path());
    const double listenMs = server.startOnSite(dir);
    if (listenMs < 0)
        return 1;
    std::vector<std::unique_ptr<BenchClient>> peers;
    for (int i = 0; i < clients; ++i) {
        auto c = std::make_unique<BenchClient>();
        if (!c->connectAndLogin(5000, i + 1)) {
            std::fprintf(stderr, "bench: login as %s failed\n", qPrintable(accountName(i + 1)));
            return 1;
        }
        peers.push_back(std::move(c));
    }
    const auto cycles = [&sims] {
        std::vector<long long> v;
        for (const auto &p : sims)
            v.push_back(p->cycles);
        return v;
    };
    if (!waitFor([&] {
            return std::all_of(sims.begin(), sims.end(), [](const auto &p) { return p->cycles >= 3; });
        }, 15000)) {
        std::fprintf(stderr, "bench: not every simulated panel is being polled\n");
        dir.setAutoRemove(false);
        return 1;
    }
    sleepInLoop(warmupS * 1000);

    const std::vector<long long> cycles0 = cycles();
    const ProcSample s0 = sampleProc(server.pid());
    const qint64 t0 = monoNs();
    std::printf("%d panels, %d clients, metrics %s, measuring %d s ...\n", panels, clients,
                metrics ? qPrintable(QStringLiteral("scraped every %1 ms").arg(scrapeMs)) : "off", seconds);
    std::fflush(stdout);
    int scrapes = 0;
    qint64 scrapedBytes = 0;
    QTimer scraper;
    QObject::connect(&scraper, &QTimer::timeout, [&] {
        const qint64 n = scrapeMetrics(metricsPort);
        scrapes += n > 0 ? 1 : 0;
        scrapedBytes += n;
    });
    if (metrics)
        scraper.start(scrapeMs);
    sleepInLoop(seconds * 1000);
    scraper.stop();
    const ProcSample s1 = sampleProc(server.pid());
    const double wall = (monoNs() - t0) / 1e9;
    if (!s0.ok || !s1.ok || !server.running()) {
        std::fprintf(stderr, "bench: the server went away during the measurement\n");
        return 1;
    }

    const std::vector<long long> cycles1 = cycles();
    int stillConnected = 0;
    for (const auto &c : peers)
        stillConnected += c->connected() ? 1 : 0;

    std::printf("listening after %.0f ms\n", listenMs);
    std::printf("wall %.1f s, server CPU %.2f s: %.4f CPU s per wall s\n", wall, s1.cpuSeconds - s0.cpuSeconds,
                (s1.cpuSeconds - s0.cpuSeconds) / wall);
    std::printf("resident memory %lld kB (peak %lld kB), %d threads, %.0f context switches/s\n",
                static_cast<long long>(s1.rssKb), static_cast<long long>(s1.hwmKb), s1.threads,
                (s1.ctxSwitches - s0.ctxSwitches) / wall);
    for (int m = 0; m < modelCount && perModel > 0; ++m) {
        double lo = 1e9, hi = 0, sum = 0;
        for (size_t i = 0; i < sims.size(); ++i) {
            if (sims[i]->model != m)
                continue;
            const double rate = (cycles1[i] - cycles0[i]) / wall;
            lo = qMin(lo, rate);
            hi = qMax(hi, rate);
            sum += rate;
        }
        std::printf("%-16s %d panels, poll cycles per panel: %.2f/s mean, %.2f min, %.2f max\n",
                    benchModels().at(m).name, perModel, sum / perModel, lo, hi);
    }
    std::printf("clients still connected: %d of %d\n", stillConnected, clients);
    if (metrics)
        std::printf("metrics: %d scrapes answered, %lld bytes each\n", scrapes,
                    scrapes ? static_cast<long long>(scrapedBytes / scrapes) : 0LL);

    const double stopMs = server.terminate(10000);
    std::printf("shutdown with %d drivers running: %.0f ms after SIGTERM, exit code %d\n", panels, stopMs,
                server.exitCode());
    return (stopMs >= 0 && server.exitCode() == 0) ? 0 : 2;
}
