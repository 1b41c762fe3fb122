// 32 Birch drivers polling 32 simulated panels for 30 s. The panels run in a
// second process (this program started with --sim-side) on pseudo-terminals
// it creates, so the figures are the server side's alone: CPU seconds per
// wall second of the driver process and poll cycles per second per driver.
//
//   bench_birch [--drivers N] [--seconds S]

#include "core/apppaths.h"
#include "panels/models/controllerbirch.h"
#include "tools/sim/birchpanelsim.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

class CountingBirch : public ControllerBirch
{
public:
    using ControllerBirch::ControllerBirch;
    ~CountingBirch() override { closePort(); }
    Result pollPanel() override
    {
        const Result r = ControllerBirch::pollPanel();
        cycles.fetch_add(1);
        if (r == Done)
            answered.fetch_add(1);
        return r;
    }
    std::atomic<int> cycles{0};
    std::atomic<int> answered{0};
};

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

int runSimSide(const QString &dir, int count)
{
    std::vector<std::unique_ptr<BirchSimPort>> sims;
    for (int n = 1; n <= count; ++n) {
        auto s = std::make_unique<BirchSimPort>();
        s->sim().setId(n);
        s->sim().addRecord(0xDE, 1, 2, 0, 3);
        s->sim().addReport(0x11, 4, 5, 0, 6);
        s->sim().setLoop(true);
        if (!s->createPty(QStringLiteral("%1/p%2").arg(dir).arg(n))) {
            std::fprintf(stderr, "sim side: %s\n", qPrintable(s->errorText()));
            return 1;
        }
        sims.push_back(std::move(s));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int drivers = qBound(1, argValue(args, QStringLiteral("--drivers"), 32), 99);
    if (args.contains(QStringLiteral("--sim-side")))
        return runSimSide(args.at(args.indexOf(QStringLiteral("--sim-side")) + 1), drivers);
    const int seconds = qBound(1, argValue(args, QStringLiteral("--seconds"), 30), 600);

    QTemporaryDir dir;
    QProcess sims;
    sims.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sims.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("--sim-side"), dir.path(), QStringLiteral("--drivers"), QString::number(drivers)});
    if (!sims.waitForReadyRead(10000) || !sims.readAll().startsWith("ready")) {
        std::fprintf(stderr, "bench: the simulator process did not come up\n");
        return 1;
    }
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[SerialPorts]\n");
    for (int n = 1; n <= drivers; ++n)
        ini.write(QStringLiteral("COM%1=%2/p%1\n").arg(n).arg(dir.path()).toUtf8());
    ini.close();
    AppPaths::setAppDir(dir.path());

    std::vector<std::unique_ptr<CountingBirch>> ds;
    for (int n = 1; n <= drivers; ++n) {
        auto d = std::make_unique<CountingBirch>(QStringLiteral("COM:COM%1").arg(n), n, 22);
        if (!d->openController()) {
            std::fprintf(stderr, "bench: driver %d could not open its port\n", n);
            return 1;
        }
        d->start();
        ds.push_back(std::move(d));
    }
    // Let the record queries finish before measuring.
    QTimer::singleShot(2000, &app, [] {});
    QElapsedTimer warm;
    warm.start();
    while (warm.elapsed() < 2000)
        app.processEvents(QEventLoop::WaitForMoreEvents, 100);

    std::vector<int> start;
    for (auto &d : ds)
        start.push_back(d->cycles.load());
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpu0;

    double sum = 0, lo = 1e9, hi = 0;
    int answered = 0, total = 0;
    for (size_t i = 0; i < ds.size(); ++i) {
        const double rate = (ds[i]->cycles.load() - start[i]) / elapsed;
        sum += rate;
        lo = qMin(lo, rate);
        hi = qMax(hi, rate);
        answered += ds[i]->answered.load();
        total += ds[i]->cycles.load();
    }
    QElapsedTimer closing;
    closing.start();
    ds.clear();
    const qint64 closeMs = closing.elapsed();
    sims.terminate();
    sims.waitForFinished(5000);

    std::printf("drivers: %d, wall: %.1f s\n", drivers, elapsed);
    std::printf("server CPU: %.3f s per wall s (%.3f s in total)\n", cpu / elapsed, cpu);
    std::printf("poll cycles per driver: %.2f/s mean, %.2f min, %.2f max\n", sum / drivers, lo, hi);
    std::printf("answered cycles: %d of %d\n", answered, total);
    std::printf("closing all drivers: %lld ms\n", static_cast<long long>(closeMs));
    return 0;
}
