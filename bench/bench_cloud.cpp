// The cloud upload through a recorder outage. A child process hosts the
// upload client (real 1 s tick, real journal file) and feeds it directly,
// as the dispatcher's signal would, at a steady rate; each event carries a
// sequence number in its device code, and the child prints the number once
// the event is queued. This process runs the recorder: it answers, goes
// away for the outage (the port refuses connections), comes back, and
// checks what arrived: lost (queued but never received), duplicated, out of
// order, the journal at its peak and the time to drain after the return.
// The second run kills the child with SIGKILL in the middle of the outage
// and starts it again on the same journal.
//
// Usage: bench_cloud [--rate 200] [--before 20] [--outage 120] [--after 20] [--kill-only | --no-kill]
//   (seconds; the outage at most 600 s, rate at most 2000 per second)
// Child mode (started by the above): bench_cloud --child --journal FILE --url ADDR --rate N --first SEQ

#include "gateways/chttpclient.h"
#include "serverbench.h"
#include "tools/sim/cloudrecorder.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <csignal>
#include <set>
#include <unistd.h>

namespace {

// ---- child: the upload client and its feeder ----

int runChild(const QStringList &args)
{
    const QString journal = ServerBench::argText(args, "--journal", QString());
    const QString url = ServerBench::argText(args, "--url", QString());
    const int rate = ServerBench::argValue(args, "--rate", 200);
    const qint64 first = ServerBench::argText(args, "--first", "0").toLongLong();
    CHttpClient::Options options;
    options.journalPath = journal;
    CHttpClient client(url, options);
    printf("J %d\n", client.pendingCount());
    fflush(stdout);

    // Feeds by the clock, not by timer counts, so a late timer catches up.
    QElapsedTimer clock;
    clock.start();
    qint64 next = first;
    bool feeding = true;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const qint64 due = first + clock.elapsed() * rate / 1000;
        while (feeding && next < due) {
            CEvent e;
            e.nEventCode = 7;
            e.nEventNo = 7; // delivered: the table's number
            e.nEventProperty = 1;
            e.nDevType = 1;
            e.strCode = QString::number(next);
            e.strTime = nowText();
            client.addEvent(e);
            printf("S %lld\n", (long long)next);
            ++next;
        }
        fflush(stdout);
    });
    feed.start(5);
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&] {
        printf("J %d %lld\n", client.pendingCount(), (long long)client.journal().bytes());
        fflush(stdout);
    });
    report.start(200);

    // "stop" ends the feeding, "quit" the process.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        const QByteArray text(buf, n > 0 ? int(n) : 0);
        if (text.contains("stop"))
            feeding = false;
        if (n <= 0 || text.contains("quit"))
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

// ---- parent: the recorder and the accounting ----

struct Child
{
    QProcess process;
    QByteArray pending;
};

struct Run
{
    qint64 confirmedMax = -1;        // highest sequence the child reported queued
    std::set<qint64> confirmed;
    std::set<qint64> received;
    qint64 duplicates = 0;
    qint64 outOfOrder = 0;
    qint64 lastReceived = -1;
    int journalPeak = 0;
    qint64 journalPeakBytes = 0;
    qint64 posts = 0;
};

void readChild(Child &c, Run &run)
{
    c.pending += c.process.readAllStandardOutput();
    int start = 0;
    for (int nl = c.pending.indexOf('\n'); nl >= 0; start = nl + 1, nl = c.pending.indexOf('\n', start)) {
        const QList<QByteArray> f = c.pending.mid(start, nl - start).split(' ');
        if (f.value(0) == "S") {
            const qint64 seq = f.value(1).toLongLong();
            run.confirmed.insert(seq);
            run.confirmedMax = qMax(run.confirmedMax, seq);
        } else if (f.value(0) == "J") {
            if (f.value(1).toInt() > run.journalPeak) {
                run.journalPeak = f.value(1).toInt();
                run.journalPeakBytes = f.value(2).toLongLong();
            }
        }
    }
    c.pending.remove(0, start);
}

bool startChild(Child &c, Run &run, const QString &journal, const QString &url, int rate, qint64 first)
{
    QObject::disconnect(&c.process, nullptr, nullptr, nullptr);
    c.pending.clear();
    QObject::connect(&c.process, &QProcess::readyReadStandardOutput, [&c, &run] { readChild(c, run); });
    c.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    c.process.start(QCoreApplication::applicationFilePath(),
                    {"--child", "--journal", journal, "--url", url, "--rate", QString::number(rate), "--first",
                     QString::number(first)});
    return c.process.waitForStarted(10000);
}

qint64 fileBytes(const QString &path)
{
    return QFileInfo(path).size() + QFileInfo(path + "-wal").size();
}

int runOnce(bool kill, int rate, int before, int outage, int after)
{
    QTemporaryDir dir;
    const QString journal = dir.filePath("CloudJournal.db");
    CloudRecorder recorder;
    recorder.setKeepPosts(false);
    if (!recorder.listen())
        return 1;
    Run run;
    QObject::connect(&recorder, &CloudRecorder::postReceived, [&run](const CloudRecorder::Post &post) {
        ++run.posts;
        const QJsonArray records = QJsonDocument::fromJson(post.body).array();
        for (const QJsonValue &v : records) {
            const QJsonObject o = v.toObject();
            if (o.value("eve_type").toString() == QLatin1String("beat"))
                continue;
            const qint64 seq = o.value("dev_id").toString().toLongLong();
            if (!run.received.insert(seq).second)
                ++run.duplicates;
            else if (seq < run.lastReceived)
                ++run.outOfOrder;
            run.lastReceived = qMax(run.lastReceived, seq);
        }
    });

    Child child;
    if (!startChild(child, run, journal, recorder.address(), rate, 0))
        return 1;
    qint64 peakFile = 0;
    auto watchFile = [&] { peakFile = qMax(peakFile, fileBytes(journal)); };
    QTimer fileWatch;
    QObject::connect(&fileWatch, &QTimer::timeout, watchFile);
    fileWatch.start(500);

    ServerBench::sleepInLoop(before * 1000);
    recorder.close();
    const qint64 outageStart = ServerBench::monoNs();
    qint64 killedAt = -1;
    if (kill) {
        ServerBench::sleepInLoop(outage * 500);
        readChild(child, run);
        killedAt = run.confirmedMax;
        ::kill(pid_t(child.process.processId()), SIGKILL);
        child.process.waitForFinished(10000);
        readChild(child, run);
        killedAt = run.confirmedMax;
        // Numbers go on after a gap, so an event queued but not yet
        // reported at the kill cannot be mistaken for a later one.
        if (!startChild(child, run, journal, recorder.address(), rate, killedAt + 1000))
            return 1;
    }
    ServerBench::waitFor([&] { return ServerBench::monoNs() - outageStart >= qint64(outage) * 1000000000; },
                         outage * 1000 + 1000, 50);
    readChild(child, run);
    const qint64 backlogMax = run.confirmedMax;
    const int backlogEvents = int(run.confirmed.size() - run.received.size());
    recorder.listen();
    const qint64 back = ServerBench::monoNs();
    // Drained: everything queued before the return has arrived.
    auto backlogIn = [&] {
        for (auto it = run.confirmed.begin(); it != run.confirmed.end() && *it <= backlogMax; ++it) {
            if (!run.received.count(*it))
                return false;
        }
        return true;
    };
    qint64 drainNs = -1;
    ServerBench::waitFor([&] {
        if (drainNs < 0 && run.received.size() >= run.confirmed.size() - 4 * rate && backlogIn())
            drainNs = ServerBench::monoNs() - back;
        return drainNs >= 0 && ServerBench::monoNs() - back >= qint64(after) * 1000000000;
    }, (after + 300) * 1000, 20);

    child.process.write("stop\n");
    // The last events of the feed go out with the next tick or two.
    ServerBench::waitFor([&] {
        readChild(child, run);
        return run.received.size() >= run.confirmed.size() && backlogIn();
    }, 10000, 50);
    ServerBench::sleepInLoop(1500); // a late duplicate would show here
    const ServerBench::ProcSample proc = ServerBench::sampleProc(child.process.processId());
    child.process.write("quit\n");
    child.process.waitForFinished(10000);

    qint64 lost = 0;
    for (qint64 seq : run.confirmed)
        lost += run.received.count(seq) ? 0 : 1;
    qint64 unconfirmed = 0;
    for (qint64 seq : run.received)
        unconfirmed += run.confirmed.count(seq) ? 0 : 1;
    printf("%s: %d events/s, recorder away %d s after %d s, then %d s more\n",
           kill ? "with SIGKILL and restart in the outage" : "outage", rate, outage, before, after);
    if (kill)
        printf("  killed after event %lld was queued; restarted numbering at %lld\n", (long long)killedAt,
               (long long)killedAt + 1000);
    printf("  queued %zu, received %zu in %lld posts; lost %lld, duplicated %lld, out of order %lld, received but "
           "never reported queued %lld\n",
           run.confirmed.size(), run.received.size(), (long long)run.posts, (long long)lost,
           (long long)run.duplicates, (long long)run.outOfOrder, (long long)unconfirmed);
    printf("  journal at its peak: %d events, %lld payload bytes, file %lld bytes; backlog at the return %d events\n",
           run.journalPeak, (long long)run.journalPeakBytes, (long long)peakFile, backlogEvents);
    printf("  drained %.2f s after the recorder returned; upload process RSS %lld KiB, CPU %.2f s in all\n",
           drainNs / 1e9, (long long)proc.rssKb, proc.cpuSeconds);
    fflush(stdout);
    return lost == 0 && run.duplicates == 0 ? 0 : 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList args = app.arguments();
    if (args.contains("--child"))
        return runChild(args);
    const int rate = qBound(1, ServerBench::argValue(args, "--rate", 200), 2000);
    const int before = qBound(1, ServerBench::argValue(args, "--before", 20), 300);
    const int outage = qBound(2, ServerBench::argValue(args, "--outage", 120), 600);
    const int after = qBound(1, ServerBench::argValue(args, "--after", 20), 300);
    int rc = 0;
    if (!args.contains("--kill-only"))
        rc |= runOnce(false, rate, before, outage, after);
    if (!args.contains("--no-kill"))
        rc |= runOnce(true, rate, before, outage, after);
    return rc;
}
