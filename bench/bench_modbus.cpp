// The Modbus receiver under a steady stream: a sender thread on loopback
// sends distinct reports at a fixed rate; the receiver hands them to the
// real dispatcher (with the sample site's event table), and each one is
// counted as it enters the dispatcher. Prints sent, counted, lost, out of
// order, and the CPU seconds per wall second of the receiving thread
// (receiver plus the dispatcher's bookkeeping) and of the sender.
//
// Usage: bench_modbus [--rate 5000] [--seconds 20] [--port 0]
//   (rate at most 50000 per second, at most 120 seconds)

#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "gateways/cmodbusdevice.h"
#include "serverbench.h"

#include <QLoggingCategory>
#include <QUdpSocket>

#include <atomic>
#include <sys/resource.h>
#include <thread>

namespace {
double threadCpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The receiver's and dispatcher's debug lines would measure the log, not them.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList args = app.arguments();
    const int rate = qBound(1, ServerBench::argValue(args, "--rate", 5000), 50000);
    const int seconds = qBound(1, ServerBench::argValue(args, "--seconds", 20), 120);
    const quint16 port = quint16(ServerBench::argValue(args, "--port", 0));
    const int total = rate * seconds;

    if (!ConfigTables::instance().loadEventTable(ServerBench::defaultSourceDir() + "/site/EventConfig.xml")) {
        fprintf(stderr, "cannot read site/EventConfig.xml\n");
        return 1;
    }
    CEventProcess dispatcher;
    CModbusDevice device(port);
    if (!device.isBound()) {
        fprintf(stderr, "cannot bind UDP port %u\n", port);
        return 1;
    }
    qint64 counted = 0;
    qint64 outOfOrder = 0;
    qint64 lastSeq = -1;
    QObject::connect(&device, &CModbusDevice::sendEvent, &dispatcher, &CEventProcess::handleEvent);
    QObject::connect(&device, &CModbusDevice::sendEvent, &dispatcher, [&](const CEvent &v) {
        const qint64 seq = v.strCode.mid(2).toLongLong();
        if (seq <= lastSeq)
            ++outOfOrder;
        lastSeq = seq;
        ++counted;
    });

    std::atomic<qint64> sent{0};
    std::atomic<bool> senderDone{false};
    double senderCpu = 0;
    double senderWall = 0;
    const quint16 target = device.localPort();
    const qint64 t0 = ServerBench::monoNs();
    const double cpu0 = threadCpuSeconds();
    // Distinct devices, alternating fault (type 2) and alarm (type 0), sent
    // in slices of one millisecond against absolute deadlines.
    std::thread sender([&] {
        const double senderCpu0 = threadCpuSeconds();
        QUdpSocket out;
        const int perMs = qMax(1, rate / 1000);
        const int sliceUs = 1000 * perMs * 1000 / rate;
        auto next = std::chrono::steady_clock::now();
        for (qint64 i = 0; i < total;) {
            for (int k = 0; k < perMs && i < total; ++k, ++i) {
                const QByteArray d = "{\"msg\":\"MB" + QByteArray::number(i).rightJustified(10, '0')
                    + "\",\"type\":" + (i % 2 ? "0" : "2") + "}";
                if (out.writeDatagram(d, QHostAddress::LocalHost, target) == d.size())
                    ++sent;
            }
            next += std::chrono::microseconds(sliceUs);
            std::this_thread::sleep_until(next);
        }
        senderCpu = threadCpuSeconds() - senderCpu0;
        senderWall = (ServerBench::monoNs() - t0) / 1e9;
        senderDone = true;
    });

    // Runs until the sender is done and nothing more arrives for a second.
    qint64 lastCount = -1;
    qint64 quietSince = 0;
    ServerBench::waitFor([&] {
        if (!senderDone)
            return false;
        const qint64 now = ServerBench::monoNs();
        if (counted != lastCount) {
            lastCount = counted;
            quietSince = now;
        }
        return counted >= sent || now - quietSince > 1000000000;
    }, (seconds + 30) * 1000, 20);
    const qint64 t1 = ServerBench::monoNs();
    const double receiverCpu = threadCpuSeconds() - cpu0;
    sender.join();

    const double wall = (t1 - t0) / 1e9;
    const ServerBench::ProcSample proc = ServerBench::sampleProc(QCoreApplication::applicationPid());
    printf("modbus receiver: %d messages/s for %d s on UDP port %u\n", rate, seconds, target);
    printf("  sent %lld, entered the dispatcher %lld, lost %lld, out of order %lld\n", (long long)sent.load(),
           (long long)counted, (long long)(sent.load() - counted), (long long)outOfOrder);
    printf("  sending took %.2f s, the last one entered the dispatcher after %.2f s\n", senderWall, wall);
    printf("  receiving thread %.3f CPU s/s (%.1f us per message); sender thread %.3f CPU s/s\n",
           receiverCpu / wall, counted ? receiverCpu * 1e6 / double(counted) : 0.0, senderCpu / wall);
    printf("  dispatcher: %d waiting, %d active; peak RSS %lld KiB; dropped by the receiver %llu bytes, rejected %llu\n",
           dispatcher.waitingCount(), dispatcher.activeCount(), (long long)proc.hwmKb,
           (unsigned long long)device.bytesDropped(), (unsigned long long)device.messagesRejected());
    return sent.load() == counted ? 0 : 2;
}
