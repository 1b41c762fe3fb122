// The event history on its own, fed directly (no server, no dispatcher):
//  1. the recorder at a sustained rate: rows written per second, delay from
//     hand-over to commit (p50/p99), CPU seconds per event (the whole
//     process: feeding and writing) and database size per million events;
//  2. a history query for one day and one panel over a log of --rows rows
//     spread over --days days and --panels panels: time to the first row
//     (first page) and to the last row (every page of that day).
//
// Usage: bench_history [--rate 10000] [--seconds 60] [--rows 10000000]
//                      [--days 400] [--panels 20] [--page 100] [--dir DIR]
//   --seconds 0 skips part 1, --rows 0 part 2. The file goes to a temporary
//   directory (or DIR) and is removed afterwards.

#include "history/historyreader.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "serverbench.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <mutex>
#include <sys/resource.h>
#include <thread>

namespace {
double cpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

qint64 fileBytes(const QString &path)
{
    return QFileInfo(path).size() + QFileInfo(path + "-wal").size();
}

CEvent sampleEvent(int i, const QString &time)
{
    CEvent e;
    e.nCom = 1;
    e.nPanelID = quint8(1 + i % 20);
    e.nPanelType = 22;
    e.nEventType = i % 3 == 0 ? 7 : 1;
    e.nEventCode = e.nEventType == 7 ? 6 : 2;
    e.nEventNo = e.nEventType;
    e.strEventName = e.nEventType == 7 ? QStringLiteral("设备故障") : QStringLiteral("报警");
    e.nEventProperty = i % 2;
    e.nLoop = 1 + i % 8;
    e.nAddress = i % 200;
    e.nDevType = 3;
    e.strCode = QStringLiteral("%1").arg(i % 100000000, 8, 10, QLatin1Char('0'));
    e.strNote = QStringLiteral("3号楼2层走廊");
    e.strTime = time;
    return e;
}

void recorderRun(const QString &dir, int rate, int seconds)
{
    const QString path = dir + "/EventRec.db";
    QFile::remove(path);
    std::mutex lock;
    std::vector<double> delaysMs;
    delaysMs.reserve(size_t(rate) * size_t(seconds));
    HistoryRecorder::Options o;
    o.path = path;
    o.onCommitted = [&](const std::vector<qint64> &handed, qint64 committed) {
        std::lock_guard<std::mutex> l(lock);
        for (qint64 h : handed)
            delaysMs.push_back(double(committed - h) / 1e6);
    };
    HistoryRecorder recorder(o);
    recorder.start();
    const double cpu0 = cpuSeconds();
    const qint64 t0 = ServerBench::monoNs();
    // Paced in 10 ms steps, as events arrive, not as fast as a loop can go.
    const int perStep = qMax(1, rate / 100);
    const int steps = seconds * 100;
    int n = 0;
    for (int s = 0; s < steps; ++s) {
        const QString now = nowText();
        for (int k = 0; k < perStep; ++k, ++n)
            recorder.record(sampleEvent(n, now), QStringLiteral("一号主机"));
        const qint64 next = t0 + qint64(s + 1) * 10000000;
        const qint64 wait = next - ServerBench::monoNs();
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    }
    const qint64 fedNs = ServerBench::monoNs() - t0;
    recorder.stop();
    const double wall = double(ServerBench::monoNs() - t0) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const HistoryRecorder::Counters c = recorder.counters();
    printf("recorder: %d events offered at %d/s for %d s (fed in %.2f s); %lld written in %.2f s = %.0f rows/s; "
           "%lld dropped\n",
           n, rate, seconds, double(fedNs) / 1e9, (long long)c.written, wall, double(c.written) / wall,
           (long long)c.dropped);
    ServerBench::printDistribution("  hand-over to commit", delaysMs);
    printf("  CPU %.2f s in all = %.1f us per event (%.2f CPU s per wall s)\n", cpu, cpu * 1e6 / n, cpu / wall);
    printf("  database %lld bytes = %.0f MB per million events\n", (long long)fileBytes(path),
           double(fileBytes(path)) / double(qMax<qint64>(1, c.written)) * 1e6 / 1e6);
    QFile::remove(path);
    QFile::remove(path + "-wal");
    QFile::remove(path + "-shm");
}

void queryRun(const QString &dir, int rows, int days, int panels, int pageSize)
{
    const QString path = dir + "/EventRec.db";
    QFile::remove(path);
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0));
    const qint64 spanS = qint64(days) * 86400;
    qint64 t0 = ServerBench::monoNs();
    {
        HistoryStore store("bench-fill");
        if (!store.open(path, false) || !store.prepareSchema()) {
            printf("cannot create %s: %s\n", qPrintable(path), qPrintable(store.lastError()));
            return;
        }
        // Rows in time order, as the recorder writes them.
        for (int i = 0; i < rows;) {
            store.begin();
            for (int k = 0; k < 50000 && i < rows; ++k, ++i) {
                const QString time = start.addSecs(qint64(i) * spanS / rows).toString("yyyy-MM-dd hh:mm:ss");
                CEvent e = sampleEvent(i, time);
                e.nPanelID = quint8(1 + i % panels);
                store.insert(HistoryRecord::fromEvent(e, QStringLiteral("一号主机"), [&time] { return time; }));
            }
            store.commit();
        }
    }
    const double fillS = double(ServerBench::monoNs() - t0) / 1e9;
    printf("query: %d rows over %d days and %d panels written in %.1f s (%.0f rows/s), file %lld bytes\n", rows, days,
           panels, fillS, rows / fillS, (long long)fileBytes(path));

    HistoryQuery q;
    q.from = q.to = start.addDays(days / 2).toString("yyyy-MM-dd");
    q.panel = 1 + panels / 2;
    q.pageSize = pageSize;
    std::vector<double> firsts;
    std::vector<double> lasts;
    int dayRows = 0;
    int pages = 0;
    for (int run = 0; run < 5; ++run) {
        q.cursor.clear();
        dayRows = 0;
        pages = 0;
        t0 = ServerBench::monoNs();
        do {
            const HistoryPage page = HistoryReader::run(path, q);
            if (!page.error.isEmpty()) {
                printf("query failed: %s\n", qPrintable(page.error));
                return;
            }
            if (pages == 0)
                firsts.push_back(double(ServerBench::monoNs() - t0) / 1e6);
            dayRows += page.rows.size();
            q.cursor = page.nextCursor;
            ++pages;
        } while (!q.cursor.isEmpty());
        lasts.push_back(double(ServerBench::monoNs() - t0) / 1e6);
    }
    printf("  one day (%s), panel %d: %d rows in %d pages of %d\n", qPrintable(q.from), q.panel, dayRows, pages,
           pageSize);
    ServerBench::printDistribution("  time to the first row (page 1)", firsts);
    ServerBench::printDistribution("  time to the last row (all pages)", lasts);
    QFile::remove(path);
    QFile::remove(path + "-wal");
    QFile::remove(path + "-shm");
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rate = qBound(1, ServerBench::argValue(args, "--rate", 10000), 1000000);
    const int seconds = qBound(0, ServerBench::argValue(args, "--seconds", 60), 3600);
    const int rows = qBound(0, ServerBench::argValue(args, "--rows", 10000000), 100000000);
    const int days = qBound(1, ServerBench::argValue(args, "--days", 400), 4000);
    const int panels = qBound(1, ServerBench::argValue(args, "--panels", 20), 255);
    const int page = qBound(1, ServerBench::argValue(args, "--page", 100), HistoryQuery::MaxPageSize);
    QTemporaryDir tmp(ServerBench::argText(args, "--dir", QDir::tempPath()) + "/bench_history-XXXXXX");
    if (!tmp.isValid())
        return 1;
    if (seconds > 0)
        recorderRun(tmp.path(), rate, seconds);
    if (rows > 0)
        queryRun(tmp.path(), rows, days, panels, page);
    return 0;
}
