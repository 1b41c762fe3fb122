// Throughput of the NB-IoT receiver's HTTP server against nginx on the same
// machine, both driven by wrk over loopback, and a count of posted alarms
// entering the dispatcher.
//
//   scripts/deps.sh --bench      # wrk and nginx-light
//   build/bench_nbiot [--seconds 10] [--rounds 3] [--connections 50] [--alarms 1000] [--log]
//
// The server object runs in this process on a temporary site with the
// receiver switched on; debug lines are filtered out unless --log, which
// writes the day log as a real site does. nginx runs from its own
// configuration in a temporary directory on a free loopback port and is
// stopped afterwards; the two take turns for --rounds rounds. The load posts
// a "dev_data" message inside its limits: acknowledged, but no event, since
// the dispatcher paces what it delivers.

#include "serverbench.h"

#include "clients/ceventprocess.h"
#include "core/apppaths.h"
#include "core/loghandler.h"
#include "http/httpconnectionhandlerpool.h"
#include "http/httplistener.h"
#include "gateways/httpmanager.h"
#include "gateways/nbdevice.h"
#include "server/fireserver.h"
#include "server/nbiotservice.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>

#include <csignal>

using namespace ServerBench;

namespace {
const QByteArray kQuietData =
    R"({"msg_type":"dev_data","msg_content":{"dev_id":"863703030599999","eve_time":1564643600,"voltage":30.1,"dirty":40,"signal":-70}})";
const QByteArray kAck = R"({"err_code":0,"err_msg":""})";

struct WrkResult
{
    bool ok = false;
    double rps = 0;
    double p99Ms = 0;
    long requests = 0;
    long errors = 0;
};

double toMs(const QString &value, const QString &unit)
{
    const double v = value.toDouble();
    if (unit == QLatin1String("us"))
        return v / 1000;
    if (unit == QLatin1String("s"))
        return v * 1000;
    if (unit == QLatin1String("m"))
        return v * 60000;
    return v;
}

WrkResult runWrk(const QString &url, const QString &script, int seconds, int connections)
{
    QProcess wrk;
    wrk.setProcessChannelMode(QProcess::MergedChannels);
    wrk.start(QStringLiteral("wrk"), {"-t2", QStringLiteral("-c%1").arg(connections), QStringLiteral("-d%1s").arg(seconds),
                                      "--latency", "-s", script, url});
    WrkResult r;
    if (!wrk.waitForStarted(5000)) {
        std::fprintf(stderr, "bench: cannot run wrk (scripts/deps.sh --bench installs it)\n");
        return r;
    }
    waitFor([&] { return wrk.state() == QProcess::NotRunning; }, (seconds + 30) * 1000, 50);
    const QString out = QString::fromLocal8Bit(wrk.readAll());
    const QRegularExpressionMatch rps = QRegularExpression(QStringLiteral("Requests/sec:\\s+([0-9.]+)")).match(out);
    const QRegularExpressionMatch p99 =
        QRegularExpression(QStringLiteral("\\n\\s+99%\\s+([0-9.]+)(us|ms|s|m)")).match(out);
    const QRegularExpressionMatch total = QRegularExpression(QStringLiteral("(\\d+) requests in")).match(out);
    const QRegularExpressionMatch errs =
        QRegularExpression(QStringLiteral("Non-2xx or 3xx responses: (\\d+)")).match(out);
    const QRegularExpressionMatch sockErrs = QRegularExpression(
        QStringLiteral("Socket errors: connect (\\d+), read (\\d+), write (\\d+), timeout (\\d+)")).match(out);
    if (!rps.hasMatch() || !p99.hasMatch()) {
        std::fprintf(stderr, "bench: unexpected wrk output:\n%s\n", qPrintable(out));
        return r;
    }
    r.ok = true;
    r.rps = rps.captured(1).toDouble();
    r.p99Ms = toMs(p99.captured(1), p99.captured(2));
    r.requests = total.captured(1).toLong();
    r.errors = errs.captured(1).toLong();
    for (int i = 1; i <= 4 && sockErrs.hasMatch(); ++i)
        r.errors += sockErrs.captured(i).toLong();
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// nginx from its own configuration: pid, logs and temporary files under dir.
class Nginx
{
public:
    bool start(const QString &dir, quint16 port)
    {
        m_dir = dir;
        const QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin"});
        if (nginx.isEmpty()) {
            std::fprintf(stderr, "bench: no nginx (scripts/deps.sh --bench installs nginx-light)\n");
            return false;
        }
        QDir(dir).mkpath(QStringLiteral("logs"));
        const QByteArray conf = QStringLiteral(
            "worker_processes auto;\n"
            "pid %1/nginx.pid;\n"
            "error_log %1/logs/error.log;\n"
            "events { worker_connections 1024; }\n"
            "http {\n"
            "  access_log off;\n"
            "  client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;\n"
            "  uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
            "  keepalive_requests 1000000;\n"
            "  server {\n"
            "    listen 127.0.0.1:%2;\n"
            "    location / { default_type application/json; return 200 '%3'; }\n"
            "  }\n"
            "}\n").arg(dir).arg(port).arg(QString::fromLatin1(kAck)).toUtf8();
        if (!writeFile(dir + QStringLiteral("/nginx.conf"), conf))
            return false;
        // -p: the prefix, so nothing is read or written outside dir.
        const int rc = QProcess::execute(nginx, {"-p", dir, "-e", dir + QStringLiteral("/logs/error.log"), "-c",
                                                 dir + QStringLiteral("/nginx.conf")});
        if (rc != 0) {
            std::fprintf(stderr, "bench: nginx did not start (exit %d), see %s/logs/error.log\n", rc, qPrintable(dir));
            return false;
        }
        return waitFor([&] { return QFile::exists(dir + QStringLiteral("/nginx.pid")) && portAccepts(port); }, 5000, 20);
    }

    void stop()
    {
        QFile pidFile(m_dir + QStringLiteral("/nginx.pid"));
        if (m_dir.isEmpty() || !pidFile.open(QIODevice::ReadOnly))
            return;
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
        pidFile.close();
        if (pid > 0 && ::kill(pid, SIGQUIT) == 0)
            waitFor([&] { return ::kill(pid, 0) != 0; }, 10000, 20);
        m_dir.clear();
    }
    ~Nginx() { stop(); }

private:
    QString m_dir;
};

// n alarms with distinct device ids over the given number of keep-alive
// connections; returns how many were acknowledged.
int postAlarms(quint16 port, int alarms, int connections)
{
    struct Conn
    {
        QTcpSocket socket;
        QByteArray in;
        int toSend = 0;
        int acked = 0;
    };
    std::vector<std::unique_ptr<Conn>> conns;
    int next = 0;
    int acked = 0;
    auto request = [&]() {
        const QByteArray body = QStringLiteral(R"({"msg_type":"dev_alarm","msg_content":{"dev_id":"8637030306%1","eve_time":1564639934}})")
                                    .arg(next++, 5, 10, QLatin1Char('0')).toUtf8();
        return "POST /postData HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    for (int i = 0; i < connections; ++i) {
        auto c = std::make_unique<Conn>();
        c->toSend = alarms / connections + (i < alarms % connections ? 1 : 0);
        Conn *raw = c.get();
        QObject::connect(&raw->socket, &QTcpSocket::connected, [&, raw] {
            if (raw->toSend-- > 0)
                raw->socket.write(request());
        });
        QObject::connect(&raw->socket, &QTcpSocket::readyRead, [&, raw] {
            raw->in += raw->socket.readAll();
            int end;
            while ((end = raw->in.indexOf(kAck)) >= 0) {
                raw->in.remove(0, end + kAck.size());
                ++raw->acked;
                ++acked;
                if (raw->toSend-- > 0)
                    raw->socket.write(request());
            }
        });
        raw->socket.connectToHost(QHostAddress::LocalHost, port);
        conns.push_back(std::move(c));
    }
    waitFor([&] { return acked >= alarms; }, 60000, 5);
    return acked;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int seconds = argValue(args, "--seconds", 10);
    const int connections = argValue(args, "--connections", 50);
    const int alarms = argValue(args, "--alarms", 1000);
    const int rounds = qMax(1, argValue(args, "--rounds", 3));
    const bool withLog = args.contains(QStringLiteral("--log"));
    const QString sourceDir = argText(args, "--source", defaultSourceDir());

    QTemporaryDir site;
    site.setAutoRemove(!args.contains(QStringLiteral("--keep")));
    for (const char *name : {"EventConfig.xml", "SysSet.xml"}) {
        if (!QFile::copy(sourceDir + QStringLiteral("/site/") + QLatin1String(name), site.filePath(name))) {
            std::fprintf(stderr, "bench: cannot copy the sample site's %s (give --source DIR)\n", name);
            return 1;
        }
    }
    const int minThreads = 1;
    writeFile(site.filePath("config.ini"), "[Server]\nisHaveNB=1\n");
    // A short cleanup interval so the pool is back to minThreads within seconds.
    writeFile(site.filePath("httpConfig.ini"),
              QStringLiteral("[listener]\nhost=127.0.0.1\nport=0\nminThreads=%1\nmaxThreads=100\ncleanupInterval=100\n")
                  .arg(minThreads).toUtf8());
    writeFile(site.filePath("post.lua"), "wrk.method = \"POST\"\nwrk.headers[\"Content-Type\"] = \"application/json\"\n"
                                         "wrk.body = '" + kQuietData + "'\n");
    AppPaths::setAppDir(site.path());
    QDir::setCurrent(site.path());
    if (withLog) {
        QDir(site.path()).mkpath(QStringLiteral("Log"));
        LogHandler::installIfLogDirExists();
    } else {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    }

    FireServer::Options options;
    options.clientPort = 0;
    FireServer server(options);
    server.start();
    if (!server.service<NbIotService>() || !server.service<NbIotService>()->device()->serverPort()) {
        std::fprintf(stderr, "bench: the receiver does not listen\n");
        return 1;
    }
    const quint16 port = server.service<NbIotService>()->device()->serverPort();
    HttpConnectionHandlerPool *pool = server.service<NbIotService>()->device()->http()->listener()->pool();
    int dispatched = 0;
    QObject::connect(server.dispatcher(), &CEventProcess::receiveEvent, [&] { ++dispatched; });
    const int threadsBefore = threadCount();

    Nginx nginx;
    QTemporaryDir nginxDir;
    QFile::setPermissions(nginxDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                               | QFileDevice::ReadOther | QFileDevice::ExeOther
                                               | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    const quint16 nginxPort = freeLoopbackPort();
    if (!nginx.start(nginxDir.path(), nginxPort))
        return 1;

    // The two servers take turns, so that the load other processes put on the
    // machine falls on both alike; the medians are compared.
    std::printf("wrk -t2 -c%d -d%ds --latency, %d rounds, POST of a dev_data inside its limits (%d bytes)%s\n",
                connections, seconds, rounds, int(kQuietData.size()),
                withLog ? ", day log written" : ", debug lines filtered");
    std::vector<double> ourRps, ourP99, theirRps, theirP99;
    long errors = 0;
    int peak = 0, peakThreads = 0;
    for (int round = 1; round <= rounds; ++round) {
        const WrkResult ours = runWrk(QStringLiteral("http://127.0.0.1:%1/postData").arg(port),
                                      site.filePath("post.lua"), seconds, connections);
        peak = qMax(peak, pool->size());
        peakThreads = qMax(peakThreads, threadCount());
        const WrkResult theirs = runWrk(QStringLiteral("http://127.0.0.1:%1/postData").arg(nginxPort),
                                        site.filePath("post.lua"), seconds, connections);
        if (!ours.ok || !theirs.ok)
            return 1;
        std::printf("round %d: receiver %7.0f req/s p99 %6.2f ms | nginx %7.0f req/s p99 %6.2f ms | ratio %.2f\n",
                    round, ours.rps, ours.p99Ms, theirs.rps, theirs.p99Ms, ours.rps / theirs.rps);
        ourRps.push_back(ours.rps);
        ourP99.push_back(ours.p99Ms);
        theirRps.push_back(theirs.rps);
        theirP99.push_back(theirs.p99Ms);
        errors += ours.errors;
    }
    nginx.stop();
    const double rps = median(ourRps), p99 = median(ourP99), nginxRps = median(theirRps);
    std::printf("median: receiver %.0f req/s p99 %.2f ms (%ld errors) | nginx %.0f req/s p99 %.2f ms\n", rps, p99,
                errors, nginxRps, median(theirP99));
    std::printf("ratio receiver/nginx: %.2f (target >= 0.60); receiver p99 target < 10 ms\n", rps / nginxRps);

    // The cleanup removes one idle handler per interval (100 ms here), also
    // while nginx has its turn.
    const bool back = waitFor([&] { return pool->size() <= minThreads && pool->busyCount() == 0; }, 60000, 20);
    std::printf("pool: %d handlers under load, %d after cleanup (minThreads %d, %s); "
                "threads %d before, %d under load, %d after\n",
                peak, pool->size(), minThreads, back ? "reached" : "NOT reached", threadsBefore, peakThreads,
                threadCount());
    std::printf("events from the load: %d (expected 0)\n", dispatched);

    dispatched = 0;
    QElapsedTimer t;
    t.start();
    const int acked = postAlarms(port, alarms, connections);
    waitFor([&] { return dispatched >= alarms; }, 10000, 5);
    std::printf("alarms: %d posted over %d connections, %d acknowledged, %d entered the dispatcher in %lld ms "
                "(target: all)\n",
                alarms, connections, acked, dispatched, t.elapsed());
    server.shutdown();
    const bool pass = rps >= nginxRps * 0.6 && p99 < 10 && errors == 0 && back && dispatched == alarms
        && acked == alarms;
    std::printf("%s\n", pass ? "all targets met" : "a target was missed");
    return pass ? 0 : 1;
}
