// One Elm driver receiving N reports (default 2000) from a simulated panel
// that sends each report as soon as the one before was acknowledged. The
// panel runs in a second process (this program with --sim-side), so the CPU
// figure is the driver side's alone. Kinds rotate through the four report
// classes: kind 1 is acknowledged at once, the others 100 ms after decoding
// (--ack-delay-ms changes that pause to show the decoding capacity).
//
//   bench_elm [--reports N] [--ack-delay-ms MS]
//
// Prints reports per second decoded and acknowledged, the lost count (sent
// reports that never became an event), resends and CPU seconds per report.

#include "config/configtables.h"
#include "panels/models/controllerelm.h"
#include "tools/sim/elmsimsocket.h"
#include "tools/sim/recordpanelsim.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

const quint8 kKinds[] = {2, 1, 10, 18}; // classes 1, 0, 2, 3

double cpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int argValue(const QStringList &args, const QString &name, int fallback)
{
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1).toInt() : fallback;
}

// The panel: waits for the driver's connect frame (which tells it where the
// server is), then plays its reports and reports its counters when all are
// acknowledged or the time is up.
int runSimSide(int reports, int limitMs)
{
    ElmPanelSim sim(1);
    ElmSimSocket socket(sim);
    if (!socket.listen(0)) {
        std::fprintf(stderr, "sim side: %s\n", qPrintable(socket.errorText()));
        return 1;
    }
    std::printf("ready %d\n", socket.localPort());
    std::fflush(stdout);
    QElapsedTimer clock;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!clock.isValid() && sim.connectFrames() > 0) {
            for (int i = 0; i < reports; ++i)
                sim.addReport(kKinds[i % 4], 1 + i % 8, 1 + i % 200, 3, QStringLiteral("压测设备"));
            clock.start(); // the socket's unsolicited tick sends the first report
        }
        if (clock.isValid() && (sim.reportsAcknowledged() >= reports || clock.elapsed() > limitMs)) {
            std::printf("done %d %d %d %d %lld\n", sim.reportsSent(), sim.reportsAcknowledged(), sim.resends(),
                        sim.wrongAcknowledgements(), clock.elapsed());
            std::fflush(stdout);
            QCoreApplication::quit();
        }
    });
    poll.start(5);
    return QCoreApplication::exec();
}

bool writeEventTable(const QString &dir)
{
    QFile f(dir + QStringLiteral("/EventConfig.xml"));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(R"(<EventConfig><EventType>
  <DevEvent EventData="1"><Event EventData="1" name="火警" ComData="2" EventProperty="1"/></DevEvent>
  <DevEvent EventData="7"><Event EventData="7" name="故障" ComData="10" EventProperty="1"/>
                          <Event EventData="7" name="回路故障" ComData="18" EventProperty="1"/></DevEvent>
  <SysEvent EventData="10"><Event EventData="1001" name="正常" ComData="1" EventProperty="0"/></SysEvent>
</EventType></EventConfig>)");
    f.close();
    return ConfigTables::instance().loadEventTable(f.fileName());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int reports = qBound(1, argValue(args, QStringLiteral("--reports"), 2000), 100000);
    const int ackDelayMs = qBound(0, argValue(args, QStringLiteral("--ack-delay-ms"), 100), 1000);
    const int limitMs = qMin(reports * (ackDelayMs + 50) + 30000, 600000);
    if (args.contains(QStringLiteral("--sim-side")))
        return runSimSide(reports, limitMs);

    QTemporaryDir dir;
    if (!writeEventTable(dir.path())) {
        std::fprintf(stderr, "bench: cannot load the event table\n");
        return 1;
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--sim-side"), QStringLiteral("--reports"), QString::number(reports),
               QStringLiteral("--ack-delay-ms"), QString::number(ackDelayMs)});
    if (!sim.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench: the simulator process did not come up\n");
        return 1;
    }
    const QByteArray ready = sim.readLine().trimmed();
    const int simPort = ready.startsWith("ready ") ? ready.mid(6).toInt() : 0;
    if (simPort <= 0) {
        std::fprintf(stderr, "bench: unexpected simulator line \"%s\"\n", ready.constData());
        return 1;
    }

    ControllerElm d(QStringLiteral("0/127.0.0.1:9002"), 1, 240);
    d.setPorts(0, quint16(simPort));
    d.setAckDelayMs(ackDelayMs);
    int events = 0;
    QObject::connect(&d, &ControllerElm::sendEvent, &app, [&events](const CEvent &) { ++events; }, Qt::QueuedConnection);
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    if (!d.openController()) {
        std::fprintf(stderr, "bench: the driver could not open\n");
        return 1;
    }
    d.start();

    QByteArray done;
    QEventLoop loop;
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, &loop, [&] {
        done += sim.readAllStandardOutput();
        if (done.contains('\n'))
            loop.quit();
    });
    QObject::connect(&sim, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QTimer::singleShot(limitMs + 10000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = cpuSeconds() - cpu0;
    const double elapsed = wall.elapsed() / 1000.0;
    QCoreApplication::processEvents(); // the last queued events
    d.closeController();
    sim.waitForFinished(5000);

    int sent = 0, acked = 0, resends = 0, wrong = 0;
    long long simMs = 0;
    if (std::sscanf(done.constData(), "done %d %d %d %d %lld", &sent, &acked, &resends, &wrong, &simMs) != 5) {
        std::fprintf(stderr, "bench: the simulator did not finish (\"%s\")\n", done.trimmed().constData());
        return 1;
    }
    std::printf("Elm driver, %d reports, acknowledgement pause %d ms\n", reports, ackDelayMs);
    std::printf("  reports sent %d, acknowledged %d, decoded %d, resends %d, wrong acknowledgements %d\n", sent, acked,
                events, resends, wrong);
    std::printf("  lost (sent, never decoded): %d\n", qMax(0, sent - events));
    std::printf("  reports per second decoded and acknowledged: %.1f (panel side: %.2f s for all)\n",
                simMs > 0 ? acked * 1000.0 / double(simMs) : 0.0, simMs / 1000.0);
    std::printf("  driver CPU: %.3f s in %.2f s wall, %.1f us per report\n", cpu, elapsed,
                events > 0 ? cpu * 1e6 / events : 0.0);
    return sent == acked && events >= sent && wrong == 0 ? 0 : 2;
}
