// The DC-09 transmission on loopback TCP. The transmitter (the service with
// its real journal file) runs in the main thread and is fed as the
// dispatcher would feed it; fire-arc's receiver runs in a thread of its own,
// so the main thread's CPU time is the transmitter's alone.
//
// 1. A burst of --burst alarms (default 1000), plain and AES-128: all
//    ACKed?, time to the last ACK, latency from hand-over to ACK (p50, p99,
//    max) and CPU per message; then 250 alarms at the dispatcher's pace
//    (one per 40 ms), where nothing queues.
// 2. --rate alarms/s (default 10) while the receiver is away for --outage
//    seconds (default 60): lost, duplicated, out of order at the receiver,
//    the journal's peak and the time to drain after the receiver's return.
//
// Usage: bench_dc09 [--burst 1000] [--rate 10] [--outage 60] [--no-outage]

#include "core/apppaths.h"
#include "server/dc09service.h"
#include "serverbench.h"
#include "tools/sim/dc09receiver.h"

#include <QMutex>
#include <QSemaphore>
#include <QThread>

#include <cstdio>
#include <map>

namespace {

qint64 threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The receiver in its own thread; what it accepted is read under the lock.
class ReceiverThread : public QThread
{
public:
    explicit ReceiverThread(const Dc09::Key &key) : m_key(key) {}
    quint16 port = 0;
    QMutex lock;
    QByteArrayList accepted; // data of ACKed event messages, in arrival order

    void setUp(bool up)
    {
        QMetaObject::invokeMethod(m_receiver, [this, up] {
            if (up)
                m_receiver->listen(port);
            else
                m_receiver->close();
        }, Qt::BlockingQueuedConnection);
    }

protected:
    void run() override
    {
        Dc09Receiver r;
        r.setKey(m_key);
        r.setKeep(false);
        QObject::connect(&r, &Dc09Receiver::messageReceived, [this](const Dc09Receiver::Received &m) {
            if (m.answer == "ACK" && m.message.id != "NULL") {
                QMutexLocker l(&lock);
                accepted << m.message.data;
            }
        });
        r.listen();
        port = r.port();
        m_receiver = &r;
        m_ready.release();
        exec();
        m_receiver = nullptr;
    }

public:
    void startAndWait()
    {
        start();
        m_ready.acquire();
    }

private:
    Dc09::Key m_key;
    Dc09Receiver *m_receiver = nullptr;
    QSemaphore m_ready;
};

CEvent alarmEvent(int n)
{
    CEvent e;
    e.nPanelID = 1;
    e.nEventType = 1;
    e.nEventCode = 2;
    e.nEventNo = 1;
    e.nEventProperty = 1;
    e.nAddress = n % 9999 + 1; // the zone carries the number, for the receiver's count
    e.strCode = QStringLiteral("%1").arg(n, 8, 10, QLatin1Char('0'));
    return e;
}

Dc09Service::Settings settings(const QString &dir, quint16 port, const Dc09::Key &key)
{
    QFile codes(dir + "/ArcCodes.xml");
    codes.open(QIODevice::WriteOnly);
    codes.write("<ArcCodes><Code class=\"1\" sia=\"FA\" siaRestore=\"FH\" cid=\"110\"/></ArcCodes>");
    codes.close();
    Dc09Service::Settings s;
    s.codesPath = codes.fileName();
    s.journalPath = dir + QStringLiteral("/ArcJournal-%1.db").arg(ServerBench::monoNs());
    s.link.account = "1234";
    s.link.key = key;
    s.link.primaryHost = "127.0.0.1";
    s.link.primaryPort = port;
    s.link.ackTimeoutMs = 2000;
    return s;
}

// Runs the event loop until done() or ms passed, looking every 20 ms (the
// loop sleeps in between: the main thread's CPU time stays the transmitter's).
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(20);
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        loop.exec();
    }
    return true;
}

int zoneOf(const QByteArray &data)
{
    return data.mid(data.indexOf("/FA") + 3).toInt();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// intervalMs 0: all at once; else one alarm per interval (the dispatcher
// delivers at most one every 40 ms).
void burst(const QString &dir, int count, bool encrypted, int intervalMs = 0)
{
    Dc09::Key key;
    if (encrypted)
        key.bytes = "AAAAAAAAAAAAAAAA";
    ReceiverThread receiver(key);
    receiver.startAndWait();
    Dc09Service service;
    service.startWith(settings(dir, receiver.port, key));
    std::vector<qint64> handed(size_t(count) + 1, 0);
    std::vector<double> latencyMs;
    // A fresh journal numbers its entries from 1, in hand-over order.
    QObject::connect(service.link(), &Dc09Link::delivered, [&](qint64 id) {
        const qint64 i = id - 1;
        if (i >= 0 && i < count)
            latencyMs.push_back(double(ServerBench::monoNs() - handed[size_t(i)]) / 1e6);
    });
    const qint64 cpu0 = threadCpuNs();
    const qint64 t0 = ServerBench::monoNs();
    int next = 0;
    const auto handOver = [&] {
        handed[size_t(next)] = ServerBench::monoNs();
        service.eventDelivered(alarmEvent(next));
        ++next;
    };
    QTimer paced;
    if (intervalMs == 0) {
        while (next < count)
            handOver();
    } else {
        QObject::connect(&paced, &QTimer::timeout, [&] {
            if (next < count)
                handOver();
        });
        paced.start(intervalMs);
    }
    const bool all = waitFor([&] { return int(latencyMs.size()) >= count; }, 120000);
    const double wallMs = double(ServerBench::monoNs() - t0) / 1e6;
    const double cpuMs = double(threadCpuNs() - cpu0) / 1e6;
    int got = 0;
    {
        QMutexLocker l(&receiver.lock);
        got = receiver.accepted.size();
    }
    std::printf("%s %s: %d alarms, %d ACKed%s, last ACK after %.0f ms (%.0f msg/s); hand-over to ACK p50 %.2f ms, "
                "p99 %.2f ms, max %.2f ms; transmitter CPU %.0f ms = %.1f us per message\n",
                intervalMs == 0 ? "burst" : "paced", encrypted ? "AES-128" : "plain  ", count, got,
                all ? "" : " (TIMED OUT)", wallMs, count / (wallMs / 1000),
                percentile(latencyMs, 0.5), percentile(latencyMs, 0.99), percentile(latencyMs, 1.0), cpuMs,
                cpuMs * 1000 / count);
    service.stop();
    receiver.quit();
    receiver.wait();
}

void outage(const QString &dir, int rate, int outageSecs)
{
    ReceiverThread receiver{Dc09::Key()};
    receiver.startAndWait();
    Dc09Service service;
    service.startWith(settings(dir, receiver.port, Dc09::Key()));
    int sent = 0;
    int peak = 0;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        service.eventDelivered(alarmEvent(sent++));
        peak = std::max(peak, service.journal().count());
    });
    const int before = 5;
    const int after = 15; // the link tries again at most 10 s after the receiver's return
    feed.start(1000 / std::max(1, rate));
    waitFor([] { return false; }, before * 1000);
    receiver.setUp(false);
    std::printf("receiver away for %d s while %d alarms/s come ...\n", outageSecs, rate);
    std::fflush(stdout);
    waitFor([] { return false; }, outageSecs * 1000);
    receiver.setUp(true);
    const qint64 back = ServerBench::monoNs();
    qint64 drained = -1;
    waitFor([&] {
        if (drained < 0 && service.journal().count() <= 1)
            drained = ServerBench::monoNs();
        return false;
    }, after * 1000);
    feed.stop();
    waitFor([&] { return service.journal().count() == 0 && service.link()->isIdle(); }, 30000);
    QByteArrayList got;
    {
        QMutexLocker l(&receiver.lock);
        got = receiver.accepted;
    }
    std::map<QByteArray, int> seen;
    int outOfOrder = 0;
    for (int i = 0; i < got.size(); ++i) {
        ++seen[got.at(i)];
        if (i > 0 && zoneOf(got.at(i)) != zoneOf(got.at(i - 1)) % 9999 + 1)
            ++outOfOrder;
    }
    int duplicated = 0;
    for (const auto &kv : seen)
        duplicated += kv.second - 1;
    std::printf("outage %d s at %d alarms/s: %d sent, %d received, %d lost, %d duplicated, %d out of order; "
                "journal peak %d; drained %.1f s after the receiver's return\n",
                outageSecs, rate, sent, got.size(), sent - int(seen.size()), duplicated, outOfOrder, peak,
                drained < 0 ? -1.0 : double(drained - back) / 1e9);
    service.stop();
    receiver.quit();
    receiver.wait();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = qBound(1, ServerBench::argValue(args, "--burst", 1000), 100000);
    const int rate = qBound(1, ServerBench::argValue(args, "--rate", 10), 500);
    const int outageSecs = qBound(1, ServerBench::argValue(args, "--outage", 60), 600);
    QTemporaryDir dir;
    AppPaths::setAppDir(dir.path());
    burst(dir.path(), count, false);
    burst(dir.path(), count, true);
    burst(dir.path(), 250, false, 40);
    burst(dir.path(), 250, true, 40);
    if (!args.contains("--no-outage"))
        outage(dir.path(), rate, outageSecs);
    return 0;
}
