// A Glen driver polling its simulator over a socat pseudo-terminal pair at
// 57600 baud while the simulator answers every poll with a full block of 18
// records. The simulator runs in a second process (this program started with
// --sim-side) and holds every reply back for the time its bytes, and the
// poll before them, would take on a real 57600-baud line, since a
// pseudo-terminal passes bytes at any speed. Figures: records decoded per
// second against the line's ceiling (57600 / 10 bits per byte / 14 bytes per
// record), and CPU seconds per wall second of the driver process, with the
// usual 200 ms pause between polls and without it.
//
//   bench_glen [--seconds S]   (default 20 per run)

#include "core/apppaths.h"
#include "core/loghandler.h"
#include "core/servercontext.h"
#include "panels/models/controllerglen.h"
#include "panels/models/glenframes.h"
#include "tests/common/socatpair.h"
#include "tools/sim/glenpanelsim.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <sys/resource.h>

namespace {

const double kBitsPerSecond = 57600.0;
const double kBitsPerByte = 10.0;

double cpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double lineMs(int bytes)
{
    return bytes * kBitsPerByte * 1000.0 / kBitsPerSecond;
}

// The panel's end: replies leave when a 57600-baud line would have carried
// the request in and the reply out.
int runSimSide(const QString &device)
{
    GlenPanelSim sim;
    sim.playFullBlocks();
    QSerialPort port;
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "sim side: cannot open %s\n", qPrintable(device));
        return 1;
    }
    port.setBaudRate(57600);
    QElapsedTimer clock;
    clock.start();
    double lineFreeAtMs = 0;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray in = port.readAll();
        const QByteArray reply = sim.feed(in);
        sim.takeFrames();
        if (reply.isEmpty())
            return;
        const double start = qMax(double(clock.elapsed()), lineFreeAtMs) + lineMs(in.size());
        lineFreeAtMs = start + lineMs(reply.size());
        const int delay = qMax(0, int(lineFreeAtMs - clock.elapsed() + 0.5));
        QTimer::singleShot(delay, Qt::PreciseTimer, &port, [&port, reply] { port.write(reply); });
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

struct Run {
    double wall = 0;
    double cpu = 0;
    int records = 0;
    int failed = 0;
};

class CountingGlen : public ControllerGlen
{
public:
    using ControllerGlen::ControllerGlen;
    ~CountingGlen() override { closePort(); }
    Result pollPanel() override
    {
        const Result r = ControllerGlen::pollPanel();
        if (r != Done)
            failed.fetch_add(1);
        return r;
    }
    std::atomic<int> failed{0};
};

Run measure(QCoreApplication &app, int passDelayMs, int seconds)
{
    CountingGlen d(QStringLiteral("COM:COM1"), 1, 31);
    d.setPassDelayMs(passDelayMs);
    std::atomic<int> records{0};
    // Counted in the worker as they are emitted: nothing queues up meanwhile.
    QObject::connect(&d, &Controller::sendEvent, &d, [&records] { records.fetch_add(1); }, Qt::DirectConnection);
    Run run;
    if (!d.openController()) {
        std::fprintf(stderr, "bench: the driver could not open its port\n");
        return run;
    }
    d.start();
    QElapsedTimer warm;
    warm.start();
    while (warm.elapsed() < 1500)
        app.processEvents(QEventLoop::WaitForMoreEvents, 100);

    const int records0 = records.load();
    const int failed0 = d.failed.load();
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    run.wall = wall.elapsed() / 1000.0;
    run.cpu = cpuSeconds() - cpu0;
    run.records = records.load() - records0;
    run.failed = d.failed.load() - failed0;
    d.closeController();
    return run;
}

void report(const char *title, const Run &r)
{
    const double ceiling = kBitsPerSecond / kBitsPerByte / GlenFrames::ShortRecord;
    const double rate = r.records / r.wall;
    std::printf("%s\n", title);
    std::printf("  records decoded: %d in %.1f s = %.1f records/s\n", r.records, r.wall, rate);
    std::printf("  line ceiling: %.1f records/s; ratio %.3f\n", ceiling, rate / ceiling);
    std::printf("  driver process CPU: %.4f s per wall s\n", r.cpu / r.wall);
    std::printf("  failed poll cycles: %d\n", r.failed);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int simAt = args.indexOf(QStringLiteral("--sim-side"));
    if (simAt >= 0 && simAt + 1 < args.size())
        return runSimSide(args.at(simAt + 1));
    const int secAt = args.indexOf(QStringLiteral("--seconds"));
    const int seconds = qBound(1, secAt >= 0 && secAt + 1 < args.size() ? args.at(secAt + 1).toInt() : 20, 120);

    QTemporaryDir dir;
    SocatPair pair(dir.filePath(QStringLiteral("drv")), dir.filePath(QStringLiteral("sim")));
    if (!pair.start()) {
        std::fprintf(stderr, "bench: socat did not start\n");
        return 1;
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--sim-side"), pair.b()});
    if (!sim.waitForReadyRead(10000) || !sim.readAll().startsWith("ready")) {
        std::fprintf(stderr, "bench: the simulator process did not come up\n");
        return 1;
    }
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[SerialPorts]\nCOM1=%1\n").arg(pair.a()).toUtf8());
    ini.close();
    AppPaths::setAppDir(dir.path());
    ServerContext::instance().loadIni();
    // Every record is logged, as in the server: into a daily log file.
    QDir::setCurrent(dir.path());
    QDir().mkdir(QStringLiteral("Log"));
    LogHandler::installIfLogDirExists();

    const Run paced = measure(app, 200, seconds);
    const Run flat = measure(app, 0, seconds);
    sim.terminate();
    sim.waitForFinished(5000);

    std::printf("Glen at 57600 baud, full blocks of %d records, %d s per run\n",
                GlenPanelSim::fullBlockRecords(), seconds);
    report("with the 200 ms pause of every poll pass (as deployed):", paced);
    report("without the pause (the driver's own limit):", flat);
    return 0;
}
