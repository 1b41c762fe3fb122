// Start-up and shutdown of the real executable with a full settings
// database: N Birch controllers (255 by default) whose serial devices do not
// exist. Start-up is timed from the process start to the moment
// 127.0.0.1:5999 accepts a connection; shutdown from SIGTERM to the exit.
// Each run starts a fresh process on the same site, whose rows say every
// controller was open before, so the shutdown rewrites every row.
//
// With --term-after-ms T the SIGTERM goes T ms after the process start
// instead, while the server may still be starting: it must still exit 0.
//
//   bench_server_startup [--controllers 255] [--runs 5] [--hold-ms 1000]
//                        [--term-after-ms T] [--server build/fireserver]
//                        [--source SRC] [--no-log]

#include "bench/serverbench.h"

#include <QSqlQuery>
#include <QTemporaryDir>

using namespace ServerBench;

namespace {

bool markAllOpen(const QString &dir)
{
    AppPaths::setAppDir(dir);
    if (!ControllerStore::openDatabase(QString::fromLatin1(ControllerStore::SqliteFileName)))
        return false;
    QSqlQuery q(QSqlDatabase::database());
    const bool ok = q.exec(QStringLiteral("Update ServerControllerInfo set IsOpenBefore = '1'"));
    ControllerStore::closeDatabase();
    return ok;
}

// Rows whose IsOpenBefore says "not open" (what a shutdown of this site,
// whose ports all fail, must leave).
int rowsStoredClosed(const QString &dir)
{
    AppPaths::setAppDir(dir);
    if (!ControllerStore::openDatabase(QString::fromLatin1(ControllerStore::SqliteFileName)))
        return -1;
    int n = -1;
    {
        QSqlQuery q(QSqlDatabase::database());
        if (q.exec(QStringLiteral("Select count(*) from ServerControllerInfo where IsOpenBefore = '0'")) && q.next())
            n = q.value(0).toInt();
    }
    ControllerStore::closeDatabase();
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int controllers = qBound(1, argValue(args, QStringLiteral("--controllers"), 255), 255);
    const int runs = qBound(1, argValue(args, QStringLiteral("--runs"), 5), 20);
    // Time between listening and SIGTERM.
    const int holdMs = qBound(0, argValue(args, QStringLiteral("--hold-ms"), 1000), 60000);
    const int termAfterMs = qBound(-1, argValue(args, QStringLiteral("--term-after-ms"), -1), 10000);
    const QString serverPath = argText(args, QStringLiteral("--server"), defaultServerPath());
    const QString sourceDir = argText(args, QStringLiteral("--source"), defaultSourceDir());
    const bool withLog = !args.contains(QStringLiteral("--no-log"));

    if (!serverPortsFree())
        return 3;
    QTemporaryDir dir;
    QList<SiteController> list;
    for (int n = 1; n <= controllers; ++n) {
        SiteController c;
        c.id = n;
        c.comNumber = n;
        c.devicePath = dir.filePath(QStringLiteral("absent/tty%1").arg(n)); // the directory is never made
        list.append(c);
    }
    if (!writeSite(dir.path(), sourceDir, list, withLog))
        return 1;
    std::printf("%d controllers on serial devices that do not exist, %d runs, SIGTERM %d ms after %s\n",
                controllers, runs, termAfterMs >= 0 ? termAfterMs : holdMs,
                termAfterMs >= 0 ? "the start" : "listening");

    if (termAfterMs >= 0) {
        int killed = 0;
        for (int r = 1; r <= runs; ++r) {
            ServerProcess server(serverPath, dir.path());
            if (!server.start())
                return 1;
            sleepInLoop(termAfterMs);
            const double stop = server.terminate(10000);
            std::printf("  run %d: SIGTERM %d ms after the start: exit %.1f ms later, code %d%s\n", r, termAfterMs,
                        stop, server.exitCode(), server.exitCode() < 0 ? " (ended by the signal)" : "");
            killed += server.exitCode() == 0 ? 0 : 1;
        }
        return killed ? 2 : 0;
    }

    std::vector<double> startMs, stopMs;
    int failures = 0;
    for (int r = 1; r <= runs; ++r) {
        // Every shutdown then changes every row, as at a site whose panels
        // were running: rewriting unchanged values costs the disk nothing.
        if (!markAllOpen(dir.path()))
            return 1;
        ServerProcess server(serverPath, dir.path());
        if (!server.start())
            return 1;
        const double listen = server.waitListening(10000);
        sleepInLoop(holdMs);
        const ProcSample s = sampleProc(server.pid());
        const double stop = server.terminate(10000);
        const int code = server.exitCode();
        std::printf("  run %d: listening after %.1f ms, RSS %lld kB, %d threads; exit %.1f ms after SIGTERM, code %d\n",
                    r, listen, static_cast<long long>(s.rssKb), s.threads, stop, code);
        std::fflush(stdout);
        if (listen < 0 || stop < 0 || code != 0) {
            ++failures;
            continue;
        }
        startMs.push_back(listen);
        stopMs.push_back(stop);
    }

    const QByteArray log = readLogs(dir.path());
    const QByteArray started = QStringLiteral("server started: %1 controllers").arg(controllers).toUtf8();
    std::printf("\nlog: \"%s\" %d times, \"could not be opened\" %d times, \"open states stored for %d\" %d times\n",
                started.constData(), log.count(started), log.count("could not be opened"), controllers,
                log.count(QStringLiteral("open states stored for %1 controllers").arg(controllers).toUtf8()));
    std::printf("rows stored as not open after the last run: %d of %d\n", rowsStoredClosed(dir.path()), controllers);
    printDistribution("start to listening on 5999", startMs);
    printDistribution("SIGTERM to exit", stopMs);
    if (failures)
        std::printf("%d runs failed (no listener, no exit or exit code not 0)\n", failures);
    return failures ? 2 : 0;
}
