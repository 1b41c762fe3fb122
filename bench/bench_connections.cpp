// Connection limits of the real server under a flood of idle connections:
// 5,000 TCP connections to the client port that never speak, from
// 127.0.0.20 upwards (50 per address by default, below the per-address
// bound), while a real client logs in from 127.0.0.1 and waits for a Modbus
// alarm. Prints what the server kept and refused, its descriptors, threads,
// memory and CPU, the client's login and event times, and how often each
// kind of log line was written.
//
//   bench_connections [--idle N] [--per-address K] [--hold S] [--server PATH] [--source DIR]
//
// --hold: seconds to keep the flood open after it is in (default 70, past
// the heartbeat's 20 s and the login deadline's 60 s). Raises its own
// descriptor limit to the hard limit. The server's ports are fixed (5999,
// 9040, 21534): run it alone, e.g. under flock /tmp/fire-fixed-ports.lock.

#include "serverbench.h"

#include <QUdpSocket>

#include <sys/resource.h>

using namespace ServerBench;

namespace {

int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// Established TCP connections whose local end is the client port: those
// the server accepted and those still waiting in the kernel's accept queue.
int establishedAtClientPort()
{
    int n = 0;
    // The listener is dual-stack: its IPv4 peers are listed in tcp6.
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> w = line.simplified().split(' ');
            if (w.size() > 3 && w.at(1).endsWith(":176F") && w.at(3) == "01")
                ++n;
        }
    }
    return n;
}

long raiseOwnLimit()
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
    return long(lim.rlim_cur);
}

struct Flood
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    int connected = 0; // reached the connected state
    int closed = 0;    // closed by the server afterwards
    int failed = 0;    // never connected
};

// Opens n connections in batches, each batch waited for (at most 10 s), so
// the listener's backlog does not turn them into SYN retries.
void openFlood(Flood &f, int n, int perAddress)
{
    const int batch = 200;
    for (int first = 0; first < n; first += batch) {
        int pending = 0;
        for (int i = first; i < qMin(n, first + batch); ++i) {
            auto s = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = s.get();
            QObject::connect(raw, &QTcpSocket::connected, [&f, &pending, raw] {
                raw->setProperty("was", true);
                ++f.connected;
                --pending;
            });
            QObject::connect(raw, &QTcpSocket::disconnected, [&f, raw] {
                if (raw->property("was").toBool())
                    ++f.closed;
            });
            QObject::connect(raw, &QAbstractSocket::errorOccurred, [&f, &pending, raw](QAbstractSocket::SocketError) {
                if (raw->property("was").toBool() || raw->property("failed").toBool())
                    return;
                raw->setProperty("failed", true);
                ++f.failed;
                --pending;
            });
            const QHostAddress local(QStringLiteral("127.0.0.%1").arg(20 + i / perAddress));
            if (!raw->bind(local, 0)) {
                ++f.failed;
                continue;
            }
            ++pending;
            raw->connectToHost(QHostAddress::LocalHost, 5999);
            f.sockets.push_back(std::move(s));
        }
        waitFor([&pending] { return pending <= 0; }, 10000, 5);
    }
}

struct LogCounts
{
    const char *what;
    const char *needle;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int idle = qBound(1, argValue(args, QStringLiteral("--idle"), 5000), 20000);
    const int perAddress = qBound(1, argValue(args, QStringLiteral("--per-address"), 50), 1000);
    const int holdS = qBound(0, argValue(args, QStringLiteral("--hold"), 70), 600);
    const QString server = argText(args, QStringLiteral("--server"), defaultServerPath());
    const QString source = argText(args, QStringLiteral("--source"), defaultSourceDir());
    if ((idle + perAddress - 1) / perAddress > 200) {
        std::fprintf(stderr, "bench: --idle/--per-address needs more than 200 addresses (127.0.0.20..219)\n");
        return 2;
    }
    const long ownLimit = raiseOwnLimit();
    if (ownLimit < idle + 100) {
        std::fprintf(stderr, "bench: this process may open only %ld descriptors; %d are needed\n", ownLimit, idle + 100);
        return 1;
    }
    if (!serverPortsFree())
        return 1;

    QTemporaryDir dir;
    if (!writeSite(dir.path(), source, {}, true, "isHaveModbus=1\nlogEncoding=UTF-8\n"))
        return 1;
    ServerProcess proc(server, dir.path());
    if (proc.startOnSite(dir) < 0)
        return 1;
    sleepInLoop(500);
    const qint64 pid = proc.pid();
    const int fdsBefore = openDescriptors(pid);
    const ProcSample before = sampleProc(pid);
    std::printf("server: pid %lld, %d descriptors, %d threads, RSS %lld KiB before the flood; "
                "this process may open %ld descriptors\n",
                pid, fdsBefore, before.threads, before.rssKb, ownLimit);

    QElapsedTimer t;
    t.start();
    Flood flood;
    openFlood(flood, idle, perAddress);
    sleepInLoop(1000); // the server's refusals arrive as closes
    const double floodS = t.elapsed() / 1000.0;
    const int fdsFlood = openDescriptors(pid);
    const ProcSample during = sampleProc(pid);
    std::printf("flood: %d connections from %d addresses (%d each) in %.1f s: %d connected, %d seen closed by the "
                "server, %d never connected; %d established at port 5999\n",
                idle, (idle + perAddress - 1) / perAddress, perAddress, floodS, flood.connected, flood.closed,
                flood.failed, establishedAtClientPort());
    std::printf("server during the flood: %d descriptors (%+d), %d threads, RSS %lld KiB (%+lld)\n", fdsFlood,
                fdsFlood - fdsBefore, during.threads, during.rssKb, during.rssKb - before.rssKb);

    // A real operator's client now: log in from 127.0.0.1, then a Modbus
    // alarm must reach it.
    BenchClient client;
    QString awaited = QStringLiteral("BENCHC001XYZ");
    qint64 eventNs = 0;
    client.onEvent = [&](const QString &code, qint64 at) {
        if (code == awaited)
            eventNs = at;
    };
    const qint64 loginStart = monoNs();
    const bool in = client.connectAndLogin(15000);
    const double loginMs = (monoNs() - loginStart) / 1e6;
    std::printf("real client: %s after %.1f ms\n", in ? "logged in" : "NOT logged in", loginMs);
    QUdpSocket udp;
    const auto alarmLatency = [&](int type) {
        eventNs = 0;
        const QByteArray datagram = QStringLiteral("{\"msg\":\"%1\",\"type\":%2}").arg(awaited).arg(type).toUtf8();
        const qint64 sent = monoNs();
        udp.writeDatagram(datagram, QHostAddress::LocalHost, 9040);
        return waitFor([&] { return eventNs != 0; }, 10000, 1) ? (eventNs - sent) / 1e6 : -1.0;
    };
    const double alarmMs = in ? alarmLatency(0) : -1;
    std::printf("real client: Modbus alarm %s (%.1f ms)\n", alarmMs >= 0 ? "received" : "NOT received", alarmMs);

    // Hold the flood past the heartbeat and the login deadline.
    const ProcSample holdStart = sampleProc(pid);
    int fdsMax = fdsFlood;
    QElapsedTimer hold;
    hold.start();
    while (hold.elapsed() < holdS * 1000) {
        sleepInLoop(1000);
        fdsMax = qMax(fdsMax, openDescriptors(pid));
    }
    const ProcSample holdEnd = sampleProc(pid);
    const int fdsAfter = openDescriptors(pid);
    std::printf("after %d s: %d established at port 5999; server %d descriptors (peak %d), %d threads, RSS %lld KiB, "
                "CPU %.3f s per wall second while holding\n",
                holdS, establishedAtClientPort(), fdsAfter, fdsMax, holdEnd.threads, holdEnd.rssKb,
                holdS ? (holdEnd.cpuSeconds - holdStart.cpuSeconds) / holdS : 0.0);
    awaited = QStringLiteral("BENCHC002XYZ");
    const double restoreMs = client.connected() ? alarmLatency(0) : -1;
    std::printf("real client: %s; a second alarm %s (%.1f ms)\n",
                client.connected() ? "still connected" : "DISCONNECTED",
                restoreMs >= 0 ? "received" : "NOT received", restoreMs);

    const double stopMs = proc.terminate(10000);
    std::printf("server: stopped by SIGTERM in %.0f ms (exit %d)\n", stopMs, proc.exitCode());

    const QByteArray log = readLogs(dir.path());
    const LogCounts kinds[] = {
        {"refused per address", "the most allowed per address"},
        {"refused in total", "connections open, the most allowed"},
        {"accept errors", "accepting a connection failed"},
        {"accepting again", "accepting connections again"},
        {"login deadline", "did not log in within"},
        {"heartbeat time-out", "silent for"},
        {"made room for newcomers", "gives its place"},
        {"connection closed (debug)", "disconnected"},
        {"client exited (debug)", "客户端退出!"},
    };
    std::printf("log lines (%d lines in all):\n", int(log.count('\n')));
    for (const LogCounts &k : kinds)
        std::printf("  %-24s %6d\n", k.what, int(log.count(k.needle)));
    const bool ok = in && alarmMs >= 0 && restoreMs >= 0 && fdsMax < fdsBefore + 2100;
    std::printf("verdict: %s\n", ok ? "the real client was served; descriptors stayed bounded" : "FAILED");
    return ok ? 0 : 1;
}
