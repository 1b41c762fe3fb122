// The MQTT publisher fed directly (not through the dispatcher's 40 ms
// pacing), against a Mosquitto broker this benchmark starts on a free
// loopback port, with a QoS 1 subscriber in the same process that stamps
// every message as it arrives.
//
// 1. Stream: --events events as fast as the publisher takes them (fed in
//    chunks, the event loop running between them), then the same number
//    paced at --rate per second. Events per second (first publish call to
//    last arrival), latency from the publish call to the subscriber
//    (p50/p99), and CPU seconds per event of the publisher's process (less
//    the subscriber's thread) and of the broker.
// 2. Outage: --outage-events events while the broker is down (they wait in
//    the journal), then the broker comes back: time to reconnect (the
//    back-off of 1 s doubling), time to drain the journal, events lost,
//    duplicated and out of order at the subscriber.
//
// Usage: bench_mqtt [--events 100000] [--rate 20000] [--outage-events 10000] [--chunk 200]
//   (events at most 1,000,000; rate at most 100,000 per second)

#include "config/configtables.h"
#include "gateways/mqttpublisher.h"
#include "serverbench.h"
#include "tools/sim/mosquittobroker.h"
#include "tools/sim/mqttprobe.h"

#include <QLoggingCategory>

#include <set>
#include <sys/resource.h>

namespace {
const QString kEvents = QStringLiteral("fireserver/bench/events");

CEvent benchEvent(int n)
{
    CEvent e;
    e.nCom = 1;
    e.nPanelID = 1;
    e.nPanelType = 22;
    e.nEventType = 1;
    e.nEventCode = 2;
    e.nEventNo = 1;
    e.strEventName = QStringLiteral("火警");
    e.nEventProperty = 1;
    e.nDevType = 5;
    e.strCode = QString::asprintf("%08d", n % 100000000);
    e.strNote = QStringLiteral("一号楼三层东侧走廊");
    e.strTime = QStringLiteral("2024-03-01 08:00:00");
    return e;
}

qint64 seqOf(const QByteArray &payload)
{
    // {"seq":N,...
    const int end = payload.indexOf(',');
    return end > 7 ? payload.mid(7, end - 7).toLongLong() : -1;
}

double processCpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

MqttPublisher::Options publisherOptions(quint16 port, const QString &journal)
{
    MqttPublisher::Options o;
    o.host = QStringLiteral("127.0.0.1");
    o.port = port;
    o.clientId = QStringLiteral("bench");
    o.journalPath = journal;
    return o;
}

bool connectProbe(MqttProbe &probe, quint16 port)
{
    if (!probe.connectTo(port))
        return false;
    probe.subscribe(kEvents, 1);
    probe.subscribe(QStringLiteral("bench/sync"), 1);
    if (!ServerBench::waitFor([&] { return probe.isConnected(); }, 10000))
        return false;
    probe.publish(QStringLiteral("bench/sync"), "ping");
    return ServerBench::waitFor([&] { return probe.count(QStringLiteral("bench/sync")) > 0; }, 10000);
}

// One stream of n events; rate 0: as fast as the publisher takes them.
bool runStream(const char *title, MqttPublisher &pub, MqttProbe &probe, qint64 brokerPid, int n, int rate, int chunk)
{
    probe.clear();
    std::vector<qint64> sentNs(size_t(n), 0);
    const double cpu0 = processCpuSeconds();
    const qint64 probeCpu0 = probe.threadCpuNs();
    const double broker0 = ServerBench::sampleProc(brokerPid).cpuSeconds;
    const qint64 t0 = ServerBench::monoNs();
    int fed = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        const qint64 due = rate > 0 ? qMin<qint64>(n, (ServerBench::monoNs() - t0) * rate / 1000000000 + 1)
                                    : qMin(n, fed + chunk);
        for (; fed < due; ++fed) {
            sentNs[size_t(fed)] = ServerBench::monoNs();
            pub.publishEvent(benchEvent(fed));
        }
        if (fed >= n)
            pace.stop();
    });
    pace.start(rate > 0 ? 1 : 0);
    const bool all = ServerBench::waitFor([&] { return fed >= n && probe.count(kEvents) >= n; }, 300000, 2);
    const qint64 t1 = ServerBench::monoNs();
    ServerBench::waitFor([&] { return pub.journal().count() == 0; }, 30000, 2);
    const double cpu = processCpuSeconds() - cpu0 - (probe.threadCpuNs() - probeCpu0) / 1e9;
    const double brokerCpu = ServerBench::sampleProc(brokerPid).cpuSeconds - broker0;

    // The journal numbers events on from earlier runs: the first fed event
    // is the lowest seq of this stream.
    const QList<MqttProbe::Message> got = probe.messages(kEvents);
    qint64 base = std::numeric_limits<qint64>::max();
    for (const MqttProbe::Message &m : got)
        base = qMin(base, seqOf(m.payload));
    std::vector<double> latencyMs;
    latencyMs.reserve(size_t(got.size()));
    std::set<qint64> seen;
    for (const MqttProbe::Message &m : got) {
        const qint64 i = seqOf(m.payload) - base;
        if (i < 0 || i >= n || !seen.insert(i).second)
            continue;
        latencyMs.push_back((m.arrivalNs - sentNs[size_t(i)]) / 1e6);
    }
    const double seconds = (t1 - t0) / 1e9;
    std::printf("%s: %d events %s in %.2f s: %.0f events/s%s\n", title, n,
                rate > 0 ? qPrintable(QStringLiteral("paced at %1/s").arg(rate)) : "as fast as taken", seconds,
                n / seconds, all ? "" : "  (NOT ALL ARRIVED)");
    // As fast as taken, the feed outruns the broker: the latency then holds
    // the wait in the journal too.
    ServerBench::printDistribution(rate > 0 ? "  publish call -> subscriber" : "  publish call -> subscriber (queued)",
                                   latencyMs);
    std::printf("  CPU: publisher %.1f us/event (%.2f s), broker %.1f us/event; received %zu distinct of %d\n",
                cpu * 1e6 / n, cpu, brokerCpu * 1e6 / n, seen.size(), n);
    return all;
}

bool runOutage(const QString &dir, int n)
{
    MosquittoBroker broker(dir);
    broker.setPersistence(true); // the subscriber's session outlives the outage
    if (!broker.start())
        return false;
    MqttProbe probe(QStringLiteral("bench-keeper"), false);
    if (!connectProbe(probe, broker.port()))
        return false;
    MqttPublisher pub(publisherOptions(broker.port(), QDir(dir).filePath(QStringLiteral("outage.db"))));
    pub.start();
    if (!ServerBench::waitFor([&] { return pub.isConnected(); }, 10000))
        return false;
    probe.clear();
    broker.stop();
    ServerBench::waitFor([&] { return !pub.isConnected(); }, 10000);

    qint64 t0 = ServerBench::monoNs();
    for (int i = 0; i < n; ++i)
        pub.publishEvent(benchEvent(i));
    const double feedS = (ServerBench::monoNs() - t0) / 1e9;
    const int waiting = pub.journal().count();

    t0 = ServerBench::monoNs();
    if (!broker.start())
        return false;
    ServerBench::waitFor([&] { return pub.isConnected(); }, 60000, 1);
    const qint64 tUp = ServerBench::monoNs();
    const bool drained = ServerBench::waitFor([&] { return pub.journal().count() == 0; }, 120000, 1);
    const qint64 tDrained = ServerBench::monoNs();
    ServerBench::waitFor([&] { return probe.count(kEvents) >= n; }, 60000, 2);
    const qint64 tReceived = ServerBench::monoNs();

    std::set<qint64> seen;
    qint64 previous = 0;
    int duplicates = 0;
    int outOfOrder = 0;
    for (const MqttProbe::Message &m : probe.messages(kEvents)) {
        const qint64 s = seqOf(m.payload);
        if (!seen.insert(s).second)
            ++duplicates;
        else if (s < previous)
            ++outOfOrder;
        previous = qMax(previous, s);
    }
    std::printf("outage: %d events fed while the broker was down in %.2f s (%.0f per second), %d waiting\n", n,
                feedS, n / feedS, waiting);
    std::printf("  broker back: reconnected after %.2f s; journal drained %.2f s later%s; "
                "all at the subscriber %.2f s after reconnecting\n",
                (tUp - t0) / 1e9, (tDrained - tUp) / 1e9, drained ? "" : " (NOT DRAINED)", (tReceived - tUp) / 1e9);
    std::printf("  lost %d, duplicated %d, out of order %d\n", n - int(seen.size()), duplicates, outOfOrder);
    return seen.size() == size_t(n);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The publisher's connection lines are not part of the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    const QStringList args = app.arguments();
    const int events = qBound(1, ServerBench::argValue(args, "--events", 100000), 1000000);
    const int rate = qBound(1, ServerBench::argValue(args, "--rate", 20000), 100000);
    const int outageEvents = qBound(1, ServerBench::argValue(args, "--outage-events", 10000), 1000000);
    const int chunk = qBound(1, ServerBench::argValue(args, "--chunk", 200), 10000);
    const QString sourceDir = ServerBench::defaultSourceDir();
    ConfigTables::instance().loadEventTable(sourceDir + QStringLiteral("/site/EventConfig.xml"));

    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        std::printf("load average before the run: %s", loadavg.readLine().constData());

    QTemporaryDir dir;
    bool ok = true;
    {
        MosquittoBroker broker(dir.path());
        if (!broker.start()) {
            std::fprintf(stderr, "bench_mqtt: mosquitto does not start (is the package installed?)\n");
            return 1;
        }
        MqttProbe probe(QStringLiteral("bench-sub"));
        if (!connectProbe(probe, broker.port()))
            return 1;
        MqttPublisher pub(publisherOptions(broker.port(), dir.filePath(QStringLiteral("stream.db"))));
        pub.start();
        if (!ServerBench::waitFor([&] { return pub.isConnected(); }, 10000))
            return 1;
        ok = runStream("stream", pub, probe, broker.pid(), events, 0, chunk) && ok;
        ok = runStream("paced", pub, probe, broker.pid(), events, rate, chunk) && ok;
    }
    QTemporaryDir outageDir;
    ok = runOutage(outageDir.path(), outageEvents) && ok;
    return ok ? 0 : 1;
}
