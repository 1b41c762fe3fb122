// Latency of one panel report through the real executable: a simulated
// Birch panel (in this process, on a pty) reports a fire alarm, the server
// polls it, decodes it, dispatches it, and a client logged in on 5999
// receives the "NewEvent". Every report carries its own device address, so
// the dispatcher never drops one as a repeat.
//
// Per report four moments are taken on one monotonic clock:
//   queued   the report is handed to the simulator (the panel "has" it)
//   written  the simulator writes the report frame, in answer to a poll
//   acked    the simulator receives the driver's acknowledgement byte
//   received the client reads the "NewEvent" bytes
// written - queued is the wait for the next poll (the panel's cadence, not
// the server's doing); received - written is what the server adds.
//
//   bench_server_latency [--reports 1000] [--interval-ms 250] [--jitter-ms 100]
//                        [--server build/fireserver] [--source SRC] [--no-log]

#include "bench/serverbench.h"
#include "tools/sim/birchpanelsim.h"

#include <QHash>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace ServerBench;

namespace {

QString deviceCode(quint8 b3, quint8 b4, quint8 b6)
{
    // How the driver writes the address of a 0x15 report: byte 4, byte 3, byte 6 in decimal.
    return QStringLiteral("%1%2%3").arg(b4, 3, 10, QLatin1Char('0')).arg(b3, 3, 10, QLatin1Char('0'))
        .arg(b6, 2, 10, QLatin1Char('0'));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int reports = qBound(1, argValue(args, QStringLiteral("--reports"), 1000), 5000);
    const int intervalMs = qBound(100, argValue(args, QStringLiteral("--interval-ms"), 250), 2000);
    const int jitterMs = qBound(0, argValue(args, QStringLiteral("--jitter-ms"), 100), intervalMs);
    const QString serverPath = argText(args, QStringLiteral("--server"), defaultServerPath());
    const QString sourceDir = argText(args, QStringLiteral("--source"), defaultSourceDir());
    const bool withLog = !args.contains(QStringLiteral("--no-log"));

    if (!serverPortsFree())
        return 3;
    QTemporaryDir dir;
    const QString ptyPath = dir.filePath(QStringLiteral("pty1"));
    BirchSimPort sim;
    sim.sim().setId(1);
    if (!sim.createPty(ptyPath)) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(sim.errorText()));
        return 1;
    }
    SiteController panel;
    panel.devicePath = ptyPath;
    if (!writeSite(dir.path(), sourceDir, {panel}, withLog))
        return 1;

    std::vector<qint64> queuedNs(size_t(reports), 0), writtenNs(size_t(reports), 0), ackedNs(size_t(reports), 0),
        receivedNs(size_t(reports), 0);
    std::vector<qint64> pollNs;
    int added = 0;
    int written = 0;
    int received = 0;
    int others = 0;
    int repeats = 0;
    QHash<QString, int> byCode;

    QObject::connect(&sim, &BirchSimPort::frameReceived, [&](const QString &text) {
        const qint64 now = monoNs();
        // The reply to this frame is computed before the frame is announced
        // and written right after: a report that left the script now is on
        // its way out.
        const int taken = added - sim.sim().pendingScriptFrames();
        while (written < taken)
            writtenNs[size_t(written++)] = now;
        if (text.startsWith(QLatin1String("poll ")) || text.startsWith(QLatin1String("record-request ")))
            pollNs.push_back(now);
        else if (text.startsWith(QLatin1String("ack ")) && written > 0 && ackedNs[size_t(written - 1)] == 0)
            ackedNs[size_t(written - 1)] = now;
    });

    ServerProcess server(serverPath, dir.path());
    const double listenMs = server.startOnSite(dir);
    if (listenMs < 0)
        return 1;
    BenchClient client;
    client.onEvent = [&](const QString &code, qint64 at) {
        const auto it = byCode.constFind(code);
        if (it == byCode.constEnd()) {
            ++others; // the driver's own open event and the like
            return;
        }
        if (receivedNs[size_t(*it)] != 0) {
            ++repeats;
            return;
        }
        receivedNs[size_t(*it)] = at;
        ++received;
    };
    if (!client.connectAndLogin(5000)) {
        std::fprintf(stderr, "bench: login as bench/bench failed\n");
        return 1;
    }
    // The driver starts with a record query; measure from its plain polls on.
    if (!waitFor([&] { return pollNs.size() >= 5; }, 15000)) {
        std::fprintf(stderr, "bench: the server does not poll the simulated panel\n");
        dir.setAutoRemove(false);
        return 1;
    }
    sleepInLoop(1000);

    std::printf("%d reports, one every %d..%d ms; server listened after %.0f ms\n", reports,
                intervalMs - jitterMs / 2, intervalMs + jitterMs - jitterMs / 2, listenMs);
    std::fflush(stdout);
    const qint64 t0 = monoNs();
    const size_t pollsBefore = pollNs.size();
    for (int i = 0; i < reports; ++i) {
        sleepInLoop(intervalMs - jitterMs / 2 + int(QRandomGenerator::global()->bounded(jitterMs + 1)));
        const quint8 b3 = quint8(1 + i % 250);
        const quint8 b4 = quint8(1 + i / 250);
        const quint8 b6 = 0x01; // device type below 0x0C: a fire alarm (raw code 2)
        byCode.insert(deviceCode(b3, b4, b6), i);
        queuedNs[size_t(i)] = monoNs();
        sim.sim().addReport(0x15, b3, b4, 0x00, b6);
        ++added;
        if ((i + 1) % 100 == 0) {
            std::printf("  %d queued, %d received\n", i + 1, received);
            std::fflush(stdout);
        }
        if (!server.running() || !client.connected()) {
            std::fprintf(stderr, "bench: the server or the client connection went away after %d reports\n", i + 1);
            dir.setAutoRemove(false);
            return 1;
        }
    }
    waitFor([&] { return received == reports; }, 10000);
    const double wallS = (monoNs() - t0) / 1e9;

    std::vector<double> pollWait, serverPart, total, driverPart, dispatchPart, cadence;
    int lost = 0;
    for (int i = 0; i < reports; ++i) {
        const size_t k = size_t(i);
        if (writtenNs[k] == 0 || receivedNs[k] == 0) {
            ++lost;
            continue;
        }
        pollWait.push_back((writtenNs[k] - queuedNs[k]) / 1e6);
        serverPart.push_back((receivedNs[k] - writtenNs[k]) / 1e6);
        total.push_back((receivedNs[k] - queuedNs[k]) / 1e6);
        if (ackedNs[k] != 0) {
            driverPart.push_back((ackedNs[k] - writtenNs[k]) / 1e6);
            dispatchPart.push_back((receivedNs[k] - ackedNs[k]) / 1e6);
        }
    }
    for (size_t i = pollsBefore + 1; i < pollNs.size(); ++i)
        cadence.push_back((pollNs[i] - pollNs[i - 1]) / 1e6);

    std::printf("\nreports: %d sent, %d received, %d lost, %d repeated; %d other events; %.0f s\n", reports, received,
                lost, repeats, others, wallS);
    printDistribution("poll period (poll to poll)", cadence);
    printDistribution("queued -> written (poll wait)", pollWait);
    printDistribution("written -> client (server part)", serverPart);
    printDistribution("  written -> ack (driver)", driverPart);
    printDistribution("  ack -> client (dispatch+send)", dispatchPart);
    printDistribution("queued -> client (total)", total);

    const double shutdownMs = server.terminate(10000);
    std::printf("shutdown after SIGTERM: %.0f ms, exit code %d\n", shutdownMs, server.exitCode());
    return lost == 0 ? 0 : 2;
}
