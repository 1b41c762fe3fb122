#pragma once
// What the benchmarks of the real executable share: a temporary site
// directory (tables, config.ini, settings database, one client account), the
// server as a child process, a logged-in client on 5999, and readings of the
// server's CPU time and memory from /proc.
//
// Every wait runs the caller's event loop (simulators in the same process
// keep answering) and sleeps between its checks; every wait has a deadline.
// The server's ports are fixed (5999, family lock 21534), so only one of
// these benchmarks may run at a time, and never beside a server test.

#include "clients/clientaccounts.h"
#include "clients/jsonsplitter.h"
#include "config/controllerstore.h"
#include "core/apppaths.h"

#include "common/clientpeer.h"
#include "common/sitekit.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace ServerBench {

inline qint64 monoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int argValue(const QStringList &args, const QString &name, int fallback)
{
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1).toInt() : fallback;
}

inline QString argText(const QStringList &args, const QString &name, const QString &fallback)
{
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1) : fallback;
}

// The benchmarks live in build/, next to fireserver, one level below the sources.
inline QString defaultServerPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/fireserver");
}

inline QString defaultSourceDir()
{
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();
}

// Runs the event loop until done() holds or the time is up, checking every
// stepMs; returns whether done() held.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs, int stepMs = 5)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        const qint64 left = timeoutMs - t.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(qMin<qint64>(stepMs, left)), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

inline void sleepInLoop(int ms)
{
    waitFor([] { return false; }, ms, ms);
}

// Whether something accepts connections on 127.0.0.1:port (the server's
// fixed ports tell whether another server or test is running).
inline bool portAccepts(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = s.waitForConnected(500);
    s.abort();
    return ok;
}

inline bool serverPortsFree()
{
    if (portAccepts(5999) || portAccepts(21534) || portAccepts(2009)) {
        std::fprintf(stderr, "bench: ports 5999/21534/2009 are in use (another server or a server test is running); "
                             "try again when `ss -ltnp | grep -E '5999|21534|2009'` shows nothing\n");
        return false;
    }
    return true;
}

// Accounts of the site: "bench" (password "bench"), then "bench2".."bench8".
constexpr int MaxClients = 8;
// A free loopback TCP port (taken again at once; good enough for a bench).
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Fetches "/metrics" from the server's monitoring port as a scraper would,
// keeping nothing but the size of the answer (0 when none came).
inline qint64 scrapeMetrics(quint16 port, int timeoutMs = 5000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(timeoutMs))
        return 0;
    s.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    qint64 size = 0;
    while (s.waitForReadyRead(timeoutMs))
        size += s.readAll().size();
    return size;
}

inline QString accountName(int n)
{
    return n <= 1 ? QStringLiteral("bench") : QStringLiteral("bench%1").arg(n);
}

struct SiteController
{
    int id = 1;
    int comNumber = 1;
    QString devicePath; // what config.ini maps COM<n> onto
    int type = 22;      // controller type code (22: ControllerBirch)
};

// Fills dir with a site: the sample site's event and system tables,
// config.ini (the COM mappings, disconnectTimes 5), KelServerSet.db with the
// controllers (of their type codes), FireServerInfo.cfg with the accounts
// above, and ./Log when withLog (the server then writes its day log
// there, as at a real site).
inline bool writeSite(const QString &dir, const QString &sourceDir, const QList<SiteController> &controllers,
                      bool withLog, const QByteArray &extraServerKeys = QByteArray())
{
    if (!Site::copyTables(dir, sourceDir)) {
        std::fprintf(stderr, "bench: cannot copy the sample tables from %s (give --source DIR)\n", qPrintable(sourceDir));
        return false;
    }
    QFile ini(dir + QStringLiteral("/config.ini"));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    ini.write("[Server]\nisControl=1\n" + extraServerKeys + "[Com]\ndisconnectTimes=5\n[SerialPorts]\n");
    for (const SiteController &c : controllers)
        ini.write(QStringLiteral("COM%1=%2\n").arg(c.comNumber).arg(c.devicePath).toUtf8());
    ini.close();

    AppPaths::setAppDir(dir);
    QFile::remove(dir + QStringLiteral("/KelServerSet.db"));
    if (!ControllerStore::openDatabase(QString::fromLatin1(ControllerStore::SqliteFileName))) {
        std::fprintf(stderr, "bench: cannot create the settings database in %s\n", qPrintable(dir));
        return false;
    }
    // One transaction: 255 separate inserts would each wait for the disk.
    QSqlDatabase::database().transaction();
    bool ok = true;
    for (const SiteController &c : controllers)
        ok = ControllerStore::insertController(c.id, QStringLiteral("panel %1").arg(c.id), c.type,
                                               QString::number(c.comNumber)) && ok;
    QSqlDatabase::database().commit();
    ControllerStore::closeDatabase();
    if (!ok)
        return false;

    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.clear();
    const QString cfg = dir + QStringLiteral("/FireServerInfo.cfg");
    QFile::remove(cfg);
    for (int n = 1; n <= MaxClients; ++n) {
        QString refusal;
        if (!accounts.addAccount(accountName(n), accountName(n), QStringLiteral("Local"), &refusal, cfg)) {
            std::fprintf(stderr, "bench: account not added: %s\n", qPrintable(refusal));
            return false;
        }
    }
    if (withLog)
        QDir(dir).mkpath(QStringLiteral("Log"));
    return true;
}

inline QByteArray readLogs(const QString &dir) { return Site::logBytes(dir); }

// CPU time and memory of a process, from /proc.
struct ProcSample
{
    bool ok = false;
    double cpuSeconds = 0; // user + system, all threads
    qint64 rssKb = 0;
    qint64 hwmKb = 0;      // peak resident
    int threads = 0;
    qint64 ctxSwitches = 0; // voluntary + involuntary, summed over the threads
};

inline ProcSample sampleProc(qint64 pid)
{
    ProcSample s;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return s;
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold spaces; fields count from after it.
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 20)
        return s;
    const double tick = double(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = (f.at(11).toLongLong() + f.at(12).toLongLong()) / tick; // utime, stime
    s.threads = f.at(17).toInt();
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &l : status.readAll().split('\n')) {
            if (l.startsWith("VmRSS:"))
                s.rssKb = l.mid(6).trimmed().split(' ').first().toLongLong();
            else if (l.startsWith("VmHWM:"))
                s.hwmKb = l.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &t : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile ts(tasks.filePath(t) + QStringLiteral("/status"));
        if (!ts.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &l : ts.readAll().split('\n')) {
            if (l.startsWith("voluntary_ctxt_switches:") || l.startsWith("nonvoluntary_ctxt_switches:"))
                s.ctxSwitches += l.mid(l.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    s.ok = true;
    return s;
}

// The real executable, headless, on a site directory.
class ServerProcess
{
public:
    ServerProcess(const QString &program, const QString &siteDir) : m_program(program), m_dir(siteDir) {}
    ~ServerProcess()
    {
        kill();
        if (m_lockFd >= 0)
            ::close(m_lockFd); // releases the lock
    }

    // Starts it (standard output and error go to files in the site) and
    // remembers when. The server takes the fixed ports (5999, 2009, ...):
    // first it waits for the lock the test suite takes for them, so a
    // benchmark and a test run on one machine never collide.
    bool start()
    {
        if (m_lockFd < 0) {
            m_lockFd = ::open("/tmp/fire-fixed-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (m_lockFd >= 0 && ::flock(m_lockFd, LOCK_EX) != 0)
                std::fprintf(stderr, "bench: cannot take /tmp/fire-fixed-ports.lock; going on without it\n");
        }
        m_proc.setWorkingDirectory(m_dir);
        m_proc.setStandardOutputFile(m_dir + QStringLiteral("/server-stdout.txt"), QIODevice::Append);
        m_proc.setStandardErrorFile(m_dir + QStringLiteral("/server-stderr.txt"), QIODevice::Append);
        m_startNs = monoNs();
        m_proc.start(m_program, {QStringLiteral("--headless"), QStringLiteral("--app-dir"), m_dir});
        if (!m_proc.waitForStarted(5000)) {
            std::fprintf(stderr, "bench: cannot start %s: %s\n", qPrintable(m_program),
                         qPrintable(m_proc.errorString()));
            return false;
        }
        return true;
    }

    qint64 pid() const { return m_proc.processId(); }
    bool running() const { return m_proc.state() == QProcess::Running; }

    // Milliseconds from start() until 127.0.0.1:5999 accepted a connection,
    // probing every stepMs; -1 when it did not within timeoutMs or the
    // process ended first.
    double waitListening(int timeoutMs, int stepMs = 2)
    {
        qint64 acceptedNs = 0;
        QTcpSocket probe;
        QObject::connect(&probe, &QTcpSocket::connected, [&] { acceptedNs = monoNs(); });
        QElapsedTimer t;
        t.start();
        while (acceptedNs == 0 && t.elapsed() < timeoutMs && running()) {
            probe.abort();
            probe.connectToHost(QHostAddress::LocalHost, 5999);
            waitFor([&] { return acceptedNs != 0 || probe.state() == QAbstractSocket::UnconnectedState; },
                    500, 1);
            if (acceptedNs == 0)
                sleepInLoop(stepMs);
        }
        probe.abort();
        return acceptedNs ? (acceptedNs - m_startNs) / 1e6 : -1;
    }

    // start() and waitListening() for a benchmark on a site directory: on
    // failure says so and keeps the directory for a look; -1 then.
    double startOnSite(QTemporaryDir &dir, int timeoutMs = 10000)
    {
        const double listenMs = start() ? waitListening(timeoutMs) : -1;
        if (listenMs < 0) {
            std::fprintf(stderr, "bench: the server did not listen on 5999 (see %s)\n", qPrintable(dir.path()));
            dir.setAutoRemove(false);
        }
        return listenMs;
    }

    // SIGTERM, then milliseconds until the process has ended; -1 if it
    // did not within timeoutMs (it is then killed).
    double terminate(int timeoutMs)
    {
        if (!running())
            return -1;
        qint64 endNs = 0;
        const QMetaObject::Connection c = QObject::connect(
            &m_proc, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), [&] { endNs = monoNs(); });
        const qint64 t0 = monoNs();
        ::kill(pid_t(pid()), SIGTERM);
        const bool ended = waitFor([&] { return endNs != 0; }, timeoutMs, 20);
        QObject::disconnect(c);
        if (!ended) {
            kill();
            return -1;
        }
        return (endNs - t0) / 1e6;
    }

    // Exit code, or -1 when it ended by a signal.
    int exitCode() const { return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1; }

    void kill()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }

private:
    QString m_program;
    QString m_dir;
    QProcess m_proc;
    qint64 m_startNs = 0;
    int m_lockFd = -1; // held while this object lives
};

// A client logged in over loopback with one of the site's accounts. onEvent gets every
// "NewEvent" with its "m" (device code) and the time its bytes were read.
class BenchClient
{
public:
    std::function<void(const QString &code, qint64 arrivalNs)> onEvent;

    bool connectAndLogin(int timeoutMs, int account = 1)
    {
        m_peer.onMessage = [this](const QJsonObject &o) {
            ++m_nMessages;
            if (onEvent && o.value(QLatin1String("b")).toString() == QLatin1String("NewEvent"))
                onEvent(o.value(QLatin1String("m")).toString(), monoNs());
        };
        if (!m_peer.connectTo(5999))
            return false;
        m_peer.socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_peer.login(accountName(account), accountName(account));
        return waitFor([this] { return m_peer.loggedIn; }, timeoutMs);
    }

    bool connected() const { return m_peer.socket.state() == QAbstractSocket::ConnectedState; }
    int messages() const { return m_nMessages; }

private:
    ClientPeer m_peer;
    int m_nMessages = 0;
};

// Percentile (0..100) of a sorted sample by nearest rank.
inline double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    rank = std::min(std::max<size_t>(rank, 1), sorted.size());
    return sorted[rank - 1];
}

inline void printDistribution(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty()) {
        std::printf("%-34s no samples\n", what);
        return;
    }
    double sum = 0;
    for (double x : v)
        sum += x;
    std::printf("%-34s n=%zu  min %.1f  p50 %.1f  p90 %.1f  p99 %.1f  max %.1f  mean %.1f ms\n", what, v.size(),
                v.front(), percentile(v, 50), percentile(v, 90), percentile(v, 99), v.back(), sum / double(v.size()));
}

// An event table of one class that the dispatcher neither tracks nor
// suppresses (code 1, number 1900): every event fed in is delivered once,
// in order, at the paced rate.
inline bool writeEventTable(const QString &path)
{
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config><EventType>
 <DevEvent EventData="9" name="bench"><Ev ComData="1" EventData="1900" name="bench event" EventProperty="1"/></DevEvent>
</EventType></Config>
)";
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(xml) == xml.size();
}

} // namespace ServerBench
