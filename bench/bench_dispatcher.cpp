// Throughput of the event dispatcher's bookkeeping with 10,000 distinct
// active devices spread over 8 ports: handleEvent calls per second for a mix
// of new presences, repeats and exact and wildcard restores, the cost of one
// delivery tick and the cost of a global reset.
//
// Usage: bench_dispatcher [calls]   (default 400000, at most 5000000)

#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "core/cevent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

namespace {
constexpr int kPorts = 8;
constexpr int kActiveTarget = 10000;
// Device codes per port: sparse enough that a wildcard restore of the last
// hex digit finds a few active devices, so the mix below keeps the
// population near kActiveTarget.
constexpr int kSpacePerPort = 6000;

int g_warnings = 0;
void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type != QtDebugMsg)
        ++g_warnings;
}

// A table shaped like a site's: twenty device classes, the system classes
// of the fixed head of the delivery order and the tail classes.
QByteArray benchTable()
{
    QByteArray xml = "<?xml version=\"1.0\"?><Config><EventType>\n";
    for (int c = 1; c <= 20; ++c) {
        if (c == 10 || c == 11 || c == 13 || c == 14 || c == 15 || c == 16 || c == 17)
            continue;
        xml += QStringLiteral("<DevEvent EventData=\"%1\">").arg(c).toUtf8();
        for (int k = 0; k < 10; ++k)
            xml += QStringLiteral("<E ComData=\"%1\" EventData=\"%2\"/>").arg(c * 100 + k).arg(c * 1000 + k).toUtf8();
        xml += "</DevEvent>\n";
    }
    xml += "<DevEvent EventData=\"4\"><E ComData=\"40\" EventData=\"1300\"/></DevEvent>\n";
    xml += "<DevEvent EventData=\"8\"><E ComData=\"80\" EventData=\"8\"/></DevEvent>\n";
    xml += "<SysEvent EventData=\"10\"><E ComData=\"10\" EventData=\"1000\"/></SysEvent>\n";
    xml += "<SysEvent EventData=\"11\"><E ComData=\"11\" EventData=\"1100\"/></SysEvent>\n";
    for (int c = 24; c <= 34; ++c)
        xml += QStringLiteral("<SysEvent EventData=\"%1\"><E ComData=\"%2\" EventData=\"%3\"/></SysEvent>\n")
                   .arg(c).arg(c * 100).arg(c * 1000).toUtf8();
    xml += "</EventType></Config>\n";
    return xml;
}

QString codeOf(int nPort, int nDevice)
{
    return QStringLiteral("%1%2").arg(nPort, 2, 10, QLatin1Char('0')).arg(nDevice, 6, 16, QLatin1Char('0'));
}

// One in ten devices is a feedback (class 8, number 8): its restores search
// the class-8 queue. The rest are faults of class 4, number 1300.
int rawCodeOf(int nDevice)
{
    return nDevice % 10 == 0 ? 80 : 40;
}

CEvent makeEvent(int nPort, int nDevice, int nProperty, const QString &strCode)
{
    CEvent e;
    e.nCom = quint8(nPort);
    e.nPanelID = quint8(nPort);
    e.nPanelType = 20;
    e.nEventCode = rawCodeOf(nDevice);
    e.nEventProperty = nProperty;
    e.strCode = strCode;
    e.strTime = QStringLiteral("2024-05-01 08:00:00");
    return e;
}

// Model of which devices are active, used to build a stream whose presences
// are really new and whose restores really hit active conditions.
struct Model
{
    std::vector<std::vector<char>> active = std::vector<std::vector<char>>(kPorts + 1, std::vector<char>(kSpacePerPort, 0));
    std::vector<std::pair<int, int>> activeList; // (port, device), unordered
    std::vector<std::vector<int>> slot = std::vector<std::vector<int>>(kPorts + 1, std::vector<int>(kSpacePerPort, -1));

    void set(int p, int d)
    {
        active[p][d] = 1;
        slot[p][d] = int(activeList.size());
        activeList.emplace_back(p, d);
    }
    void clear(int p, int d)
    {
        const int i = slot[p][d];
        const auto last = activeList.back();
        activeList[i] = last;
        slot[last.first][last.second] = i;
        activeList.pop_back();
        active[p][d] = 0;
        slot[p][d] = -1;
    }
};

struct Stream
{
    QVector<CEvent> events;
    int nNew = 0, nRepeat = 0, nExact = 0, nWildcard = 0, nWildcardHits = 0;
};

Stream buildStream(Model &m, int nCalls, QRandomGenerator &rng)
{
    Stream s;
    s.events.reserve(nCalls);
    while (s.events.size() < nCalls) {
        const int r = rng.bounded(100);
        const bool bBelowTarget = int(m.activeList.size()) < kActiveTarget;
        if (r < 30 || (r < 70 && !bBelowTarget)) { // repeat of an active condition
            const auto pd = m.activeList[rng.bounded(int(m.activeList.size()))];
            s.events.append(makeEvent(pd.first, pd.second, 1, codeOf(pd.first, pd.second)));
            ++s.nRepeat;
        } else if (r < 70) { // new presence
            int p = 0;
            int d = 0;
            do {
                p = 1 + rng.bounded(kPorts);
                d = rng.bounded(kSpacePerPort);
            } while (m.active[p][d]);
            m.set(p, d);
            s.events.append(makeEvent(p, d, 1, codeOf(p, d)));
            ++s.nNew;
        } else if (r < 95) { // exact restore
            const auto pd = m.activeList[rng.bounded(int(m.activeList.size()))];
            m.clear(pd.first, pd.second);
            s.events.append(makeEvent(pd.first, pd.second, 0, codeOf(pd.first, pd.second)));
            ++s.nExact;
        } else { // wildcard restore of the last hex digit of a class-4 device
            const auto pd = m.activeList[rng.bounded(int(m.activeList.size()))];
            if (rawCodeOf(pd.second) != 40)
                continue;
            QString pattern = codeOf(pd.first, pd.second);
            pattern[pattern.size() - 1] = QLatin1Char('*');
            const int base = pd.second & ~0xF;
            for (int d = base; d < base + 16 && d < kSpacePerPort; ++d) {
                if (m.active[pd.first][d] && rawCodeOf(d) == 40) {
                    m.clear(pd.first, d);
                    ++s.nWildcardHits;
                }
            }
            s.events.append(makeEvent(pd.first, pd.second, 0, pattern));
            ++s.nWildcard;
        }
    }
    return s;
}

// Brings the dispatcher (and the model) to kActiveTarget active devices.
void populate(CEventProcess &d, Model &m, QRandomGenerator &rng)
{
    while (int(m.activeList.size()) < kActiveTarget) {
        const int p = 1 + rng.bounded(kPorts);
        const int dev = rng.bounded(kSpacePerPort);
        if (m.active[p][dev])
            continue;
        m.set(p, dev);
        d.handleEvent(makeEvent(p, dev, 1, codeOf(p, dev)));
    }
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Wall and CPU seconds of feeding the stream; the machine is shared, so the
// CPU figure is the steadier one.
QPair<double, double> runStream(CEventProcess &d, const Stream &s)
{
    QElapsedTimer t;
    const double cpu0 = cpuSeconds();
    t.start();
    for (const CEvent &e : s.events)
        d.handleEvent(e);
    return qMakePair(double(t.nsecsElapsed()) / 1e9, cpuSeconds() - cpu0);
}

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int nCalls = 400000;
    if (argc > 1)
        nCalls = std::clamp(QByteArray(argv[1]).toInt(), 1000, 5000000);
    qInstallMessageHandler(quietHandler);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("EventConfig.xml"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(benchTable()) < 0)
            return 1;
    }
    if (!ConfigTables::instance().loadEventTable(path)) {
        std::fprintf(stderr, "cannot load the bench event table\n");
        return 1;
    }

    std::printf("dispatcher bench: %d active devices over %d ports, %d calls per run\n", kActiveTarget, kPorts,
                nCalls);

    // 1. handleEvent throughput, with the per-event trace off and on (on:
    // formatted, then discarded by the handler, as a file logger would get it).
    for (int trace = 0; trace < 2; ++trace) {
        QLoggingCategory::setFilterRules(trace ? QStringLiteral("fire.dispatcher.debug=true")
                                               : QStringLiteral("fire.dispatcher.debug=false"));
        QRandomGenerator rng(12345);
        CEventProcess d;
        d.setTimersEnabled(false);
        int nDelivered = 0;
        QObject::connect(&d, &CEventProcess::sendEventToClient, [&nDelivered](int, const CEvent &, const QString &) {
            ++nDelivered;
        });
        Model m;
        populate(d, m, rng);
        const Stream s = buildStream(m, trace ? nCalls / 4 : nCalls, rng);
        const QPair<double, double> sec = runStream(d, s);
        std::printf("handleEvent (trace %s): %d calls in %.3f s wall = %.0f calls/s (%.0f per CPU second) "
                    "[new %d, repeat %d, exact restore %d, wildcard restore %d restoring %d keys]; "
                    "active keys after %d, backlog %d\n",
                    trace ? "on " : "off", int(s.events.size()), sec.first, s.events.size() / sec.first,
                    s.events.size() / sec.second, s.nNew, s.nRepeat,
                    s.nExact, s.nWildcard, s.nWildcardHits, d.activeKeyCount(), d.activeCount());
    }
    QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=false"));

    // 2. Delivery tick: 10,000 active devices and 10,000 events waiting; the
    // worst case is a queue at the end of the order (class 10), every class
    // before it looked at first.
    {
        QRandomGenerator rng(777);
        CEventProcess d;
        d.setTimersEnabled(false);
        int nDelivered = 0;
        QObject::connect(&d, &CEventProcess::sendEventToClient, [&nDelivered](int, const CEvent &, const QString &) {
            ++nDelivered;
        });
        Model m;
        populate(d, m, rng);
        for (int i = 0; i < 5000; ++i) {
            CEvent e = makeEvent(1 + i % kPorts, i, 1, QStringLiteral("tail%1").arg(i));
            e.nEventCode = 10;
            d.handleEvent(e);
        }
        std::vector<double> head, tail;
        QElapsedTimer t;
        // The populate step left its presences waiting in class 4 and 8.
        while (d.waitingCount() > 5000 && head.size() < 5000) {
            t.start();
            d.tick();
            head.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
        while (d.waitingCount(4) > 0 || d.waitingCount(8) > 0)
            d.tick();
        for (int i = 0; i < 5000 && d.waitingCount() > 0; ++i) {
            t.start();
            d.tick();
            tail.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
        t.start();
        for (int i = 0; i < 10000; ++i)
            d.tick(); // all queues empty
        const double idle = double(t.nsecsElapsed()) / 1000.0 / 10000;
        std::printf("tick, queue early in the order: p50 %.2f us, p99 %.2f us, p99.9 %.2f us, max %.2f us (%zu ticks)\n",
                    percentile(head, 0.5), percentile(head, 0.99), percentile(head, 0.999), percentile(head, 1.0),
                    head.size());
        std::printf("tick, queue last in the order:  p50 %.2f us, p99 %.2f us, p99.9 %.2f us, max %.2f us (%zu ticks)\n",
                    percentile(tail, 0.5), percentile(tail, 0.99), percentile(tail, 0.999), percentile(tail, 1.0),
                    tail.size());
        std::printf("tick, nothing waiting: %.3f us\n", idle);
    }

    // 3. Global reset with 10,000 active conditions (1,000 of them code 8,
    // re-queued first-served) and 10,000 events still waiting.
    {
        std::vector<double> costs;
        for (int run = 0; run < 7; ++run) {
            QRandomGenerator rng(1000 + run);
            CEventProcess d;
            d.setTimersEnabled(false);
            Model m;
            populate(d, m, rng);
            CEvent reset;
            reset.nEventCode = 11;
            d.handleEvent(reset);
            QElapsedTimer t;
            t.start();
            d.processResetFollowUp();
            costs.push_back(double(t.nsecsElapsed()) / 1e6);
            if (run == 0)
                std::printf("global reset: %d keys left (number 8), %d first-served, %d waiting\n",
                            d.activeKeyCount(), d.firstServedCount(), d.waitingCount());
        }
        std::printf("global reset of %d conditions: median %.3f ms, max %.3f ms (%zu runs)\n", kActiveTarget,
                    percentile(costs, 0.5), percentile(costs, 1.0), costs.size());
    }
    std::printf("RSS %ld KiB; warnings logged %d\n", rssKiB(), g_warnings);
    return 0;
}
