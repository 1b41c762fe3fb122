// Centre transmission and history queries under load.
//
//   bench_remote [--events 10000] [--rows 100000] [--queries 10] [--rounds 5]
//
// 1. One centre connected over loopback (its own thread, answering
//    heartbeats); a burst of events goes into newDataToSend at once. Prints
//    the time until the centre holds every line, the rate against the
//    ceiling that the 1 ms pause between lines sets (1,000 lines/s), and the
//    process's resident memory before and at its peak while the queue drains.
// 2. An event log of --rows records; --queries clients ask at the same time
//    for one action over one week, --rounds times. Prints median and p99 of
//    the time to the first reply line and to the close (which includes the
//    1 s pause before it).

#include "config/configtables.h"
#include "core/apppaths.h"
#include "core/cevent.h"
#include "core/servercontext.h"
#include "remote/remotecodec.h"
#include "remote/remoteserver.h"
#include "remote/remotesearch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

int argValue(const QStringList &args, const QString &name, int fallback)
{
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1).toInt() : fallback;
}

// kB of a /proc/self/status line such as "VmRSS:".
long statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

bool runUntil(const std::function<bool()> &done, int timeoutMs, const std::function<void()> &each = {})
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        if (each)
            each();
    }
    return true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

void benchTransmission(int events)
{
    RemoteServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench: cannot listen\n");
        return;
    }
    std::atomic_int received{0};
    std::atomic_bool connected{false};
    std::atomic<qint64> lastLineMs{0};
    QElapsedTimer clock;
    clock.start();
    const quint16 port = server.serverPort();
    std::unique_ptr<QThread> centre(QThread::create([&]() {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (!s.waitForConnected(5000))
            return;
        connected = true;
        QByteArray buffer;
        while (received < events && s.waitForReadyRead(30000)) {
            buffer += s.readAll();
            for (;;) {
                const RemoteCodec::FrameResult f = RemoteCodec::decodeFrame(buffer, 1 << 20);
                if (f.status != RemoteCodec::FrameResult::Complete)
                    break;
                buffer.remove(0, f.consumed);
                if (f.payload == "a") {
                    s.write("a");
                    s.flush();
                } else {
                    ++received;
                    lastLineMs = clock.elapsed();
                }
            }
        }
    }));
    centre->start();
    if (!runUntil([&]() { return connected && ServerContext::instance().remoteLinkCount == 1; }, 10000)) {
        std::fprintf(stderr, "bench: the centre did not connect\n");
        centre->wait();
        return;
    }

    const long rssBefore = statusKb("VmRSS:");
    long rssPeak = rssBefore;
    CEvent e;
    e.nPanelID = 1;
    e.nPanelType = 22;
    e.nEventType = 1;
    e.nEventCode = 21;
    ConfigTables::instance().complete(e); // as the panel manager hands it on
    e.strNote = QStringLiteral("一楼大厅");
    const qint64 t0 = clock.elapsed();
    for (int i = 0; i < events; ++i) {
        e.strCode = QStringLiteral("%1").arg(i, 8, 10, QLatin1Char('0'));
        server.newDataToSend(e);
    }
    const qint64 queued = clock.elapsed() - t0;
    rssPeak = std::max(rssPeak, statusKb("VmRSS:"));
    const bool all = runUntil([&]() { return received >= events; }, events * 3 + 30000,
                              [&]() { rssPeak = std::max(rssPeak, statusKb("VmRSS:")); });
    const double seconds = (lastLineMs - t0) / 1000.0;
    std::printf("transmission: %d events queued in %lld ms; the centre had %d of them after %.2f s%s\n", events,
                queued, received.load(), seconds, all ? "" : " (incomplete)");
    std::printf("  rate %.0f lines/s = %.2f of the 1,000 lines/s ceiling of the 1 ms pause\n",
                received / seconds, received / seconds / 1000.0);
    std::printf("  RSS %ld kB before the burst, peak %ld kB while draining (+%ld kB, %.0f bytes per queued line)\n",
                rssBefore, rssPeak, rssPeak - rssBefore, (rssPeak - rssBefore) * 1024.0 / events);
    centre->wait();
}

bool writeEventLog(const QString &path, int rows)
{
    static const char *const actions[] = {"火警", "故障", "动作", "反馈", "监管", "报警", "屏蔽", "取消屏蔽", "恢复", "启动"};
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("benchwriter"));
        db.setDatabaseName(path);
        if (!db.open())
            return false;
        QSqlQuery q(db);
        q.exec(QStringLiteral("create table EventRecord (id integer primary key, action text, content text, atime text)"));
        db.transaction();
        q.prepare(QStringLiteral("insert into EventRecord (action, content, atime) values (?, ?, ?)"));
        const QDateTime start(QDate(2024, 1, 1), QTime(0, 0));
        const qint64 step = qint64(366) * 86400 / rows;
        for (int i = 0; i < rows; ++i) {
            q.addBindValue(QString::fromUtf8(actions[i % 10]));
            q.addBindValue(QStringLiteral("%1号楼 %2层 探测器 %3").arg(i % 7 + 1).arg(i % 20 + 1).arg(i));
            q.addBindValue(start.addSecs(i * step).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            q.exec();
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("benchwriter"));
    return true;
}

void benchQueries(const QString &dir, int rows, int parallel, int rounds)
{
    if (!writeEventLog(dir + QStringLiteral("/EventRec.db"), rows)) {
        std::fprintf(stderr, "bench: cannot write the event log\n");
        return;
    }
    RemoteSearch search;
    if (!search.listen(QHostAddress::LocalHost, 0))
        return;
    std::vector<double> firstMs, closeMs;
    int lines = 0;
    for (int round = 0; round < rounds; ++round) {
        const size_t n = size_t(parallel);
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        std::vector<QByteArray> got(n);
        std::vector<qint64> first(n, -1), closed(n, -1);
        QElapsedTimer t;
        t.start();
        for (size_t i = 0; i < n; ++i) {
            peers.push_back(std::make_unique<QTcpSocket>());
            peers.back()->connectToHost(QHostAddress::LocalHost, search.serverPort());
            const QDate from = QDate(2024, 1, 1).addDays(qint64(7 * ((size_t(round) * n + i) % 50)));
            peers.back()->write(RemoteCodec::encodeFrame(RemoteCodec::encodeRequest(
                QStringLiteral("5"), from.toString(Qt::ISODate), from.addDays(6).toString(Qt::ISODate))));
        }
        runUntil([&]() {
            bool all = true;
            for (size_t i = 0; i < n; ++i) {
                got[i] += peers[i]->readAll();
                if (first[i] < 0 && !got[i].isEmpty())
                    first[i] = t.elapsed();
                if (closed[i] < 0 && peers[i]->state() == QAbstractSocket::UnconnectedState)
                    closed[i] = t.elapsed();
                all = all && closed[i] >= 0;
            }
            return all;
        }, 120000);
        for (size_t i = 0; i < n; ++i) {
            firstMs.push_back(double(first[i]));
            closeMs.push_back(double(closed[i]));
            QByteArray &b = got[i];
            for (;;) {
                const RemoteCodec::FrameResult f = RemoteCodec::decodeFrame(b, 1 << 20);
                if (f.status != RemoteCodec::FrameResult::Complete)
                    break;
                b.remove(0, f.consumed);
                ++lines;
            }
        }
    }
    const int answers = parallel * rounds;
    std::printf("queries: %d rows in the log, %d parallel x %d rounds, %.0f lines per answer\n", rows, parallel,
                rounds, double(lines) / answers);
    std::printf("  first line: median %.0f ms, p99 %.0f ms\n", percentile(firstMs, 0.5), percentile(firstMs, 0.99));
    std::printf("  close (complete answer, with the 1 s pause): median %.0f ms, p99 %.0f ms\n",
                percentile(closeMs, 0.5), percentile(closeMs, 0.99));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir dir;
    AppPaths::setAppDir(dir.path());
    QFile table(dir.filePath(QStringLiteral("EventConfig.xml")));
    table.open(QIODevice::WriteOnly);
    table.write("<Config><EventType><DevEvent EventData=\"1\">"
                "<Event EventData=\"1\" name=\"火警\" ComData=\"21\" EventProperty=\"1\"/>"
                "</DevEvent></EventType></Config>");
    table.close();
    ConfigTables::instance().loadEventTable(table.fileName());
    ServerContext::instance().remoteAccept = true;

    benchTransmission(argValue(args, QStringLiteral("--events"), 10000));
    benchQueries(dir.path(), argValue(args, QStringLiteral("--rows"), 100000),
                 argValue(args, QStringLiteral("--queries"), 10), argValue(args, QStringLiteral("--rounds"), 5));
    return 0;
}
