#include "app/cmyapplication.h"
#include "console/consoleprompt.h"
#include "console/qwidgetmain.h"
#include "core/apppaths.h"
#include "core/commandline.h"
#include "core/connectionlimits.h"
#include "core/familylock.h"
#include "core/loghandler.h"
#include "core/servercontext.h"
#include "core/signalwatcher.h"
#include "server/fireserver.h"
#include "server/headlessview.h"
#include "server/sitecheck.h"
#include "fireversion.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QTextCodec>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {
int runHeadless(QCoreApplication &app, SignalWatcher &watcher)
{
    FireServer server;
    HeadlessView view;
    // A taken centre port means another server runs; it was logged.
    if (!server.start(&view))
        return 0;

    // SIGINT and SIGTERM take the same shutdown path as closing the window.
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&server](int sig) {
        qDebug() << "signal" << sig << "received, shutting down";
        server.shutdown();
        QCoreApplication::quit();
    });
    const int rc = app.exec();
    server.shutdown();
    return rc;
}

int runConsole(QCoreApplication &app, SignalWatcher &watcher)
{
    // Real message boxes; the window owns and starts the server. Closing it
    // asks for the exit password; a signal takes the same shutdown without it.
    QWidgetMain window;
    // A taken centre port means another server runs; the box has been shown.
    if (!window.server()->isRunning())
        return 0;
    window.show();
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&window](int sig) {
        qDebug() << "signal" << sig << "received, shutting down";
        window.server()->shutdown();
        QCoreApplication::quit();
    });
    return app.exec();
}

// The site read as the server would read it, one line per finding; exit 0
// sound, 1 warnings, 2 the server would not start or would lose data.
int runCheck(int &argc, char **argv, const QString &appDir)
{
    QCoreApplication app(argc, argv);
    SiteCheck check(appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir);
    const QList<SiteFinding> findings = check.run();
    for (const SiteFinding &f : findings)
        std::printf("%s\n", f.line().toUtf8().constData());
    const int rc = SiteCheck::exitCode(findings);
    static const char *const verdicts[] = {"sound", "starts, with warnings", "would not start or would lose data"};
    std::printf("site %s: %s\n", AppPaths::appDir().toUtf8().constData(), verdicts[rc]);
    return rc;
}
} // namespace

int main(int argc, char *argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("gb2312"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Fire-alarm gateway server."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("headless"), QStringLiteral("Run without the console window (no display needed); "
                                                    "events are printed as lines on standard output.")},
        {QStringLiteral("app-dir"), QStringLiteral("The site directory holding config.ini, the settings "
                                                   "database and the other files (default: the executable's)."),
         QStringLiteral("dir")},
        {QStringLiteral("check"), QStringLiteral("Read the site as the server would, print one line per finding "
                                                 "and exit 0 (sound), 1 (warnings) or 2 (it would not start or "
                                                 "would lose data). Changes nothing.")},
        {QStringLiteral("version"), QStringLiteral("Print the version and exit.")},
    });
    CommandLine::processEarly(p, argc, argv);
    if (p.isSet(QStringLiteral("version"))) {
        std::printf("fireserver %s\n", FIRE_VERSION);
        return 0;
    }
    if (p.isSet(QStringLiteral("check")))
        return runCheck(argc, argv, p.value(QStringLiteral("app-dir")));

    // Headless, the server runs on a core application: no platform plugin,
    // no display, no widget code touched.
    const bool headless = p.isSet(QStringLiteral("headless"));
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<FamilyLock> headlessLock;
    if (headless) {
        app.reset(new QCoreApplication(argc, argv));
        headlessLock.reset(new FamilyLock(1));
    } else {
        app.reset(new CMyApplication(argc, argv, 1));
    }
    if (p.isSet(QStringLiteral("app-dir")))
        AppPaths::setAppDir(p.value(QStringLiteral("app-dir")));

    QTranslator translator;
    if (!translator.load(QStringLiteral("KelServer"), AppPaths::file(QStringLiteral("translations"))))
        translator.load(QStringLiteral("qt_zh_CN"), AppPaths::appDir());
    app->installTranslator(&translator);

    // config.ini is read once, here: the log's own settings come from it.
    ServerContext &ctx = ServerContext::instance();
    ctx.loadIni();
    const QByteArray encoding = ctx.iniValue(QStringLiteral("Server/logEncoding"), QStringLiteral("GB2312"))
                                    .toString().trimmed().toLatin1();
    const bool knownEncoding = LogHandler::setEncoding(encoding);
    LogHandler::setKeepDays(ctx.iniInt(QStringLiteral("Server/logKeepDays"), 30));
    // The file log is installed before the instance check (not after it), so
    // a refused second copy leaves its reason in the day's log: headless,
    // nobody sees a message box.
    LogHandler::installIfLogDirExists();
    if (!knownEncoding)
        qWarning() << "Server/logEncoding" << encoding << "is not a known text encoding; the log stays GB2312";
    // Watching from here on: a SIGTERM that arrives while the server is still
    // starting waits in the watcher's socket and then takes the normal
    // shutdown path, instead of killing the process with nothing stored.
    SignalWatcher watcher;
    // With a screen every prompt, the refusal of a second copy included, is a
    // real message box; headless they go to the log.
    if (!headless)
        ConsolePrompt::install();
    const bool alone = headless ? headlessLock->acquireOrTell()
                                : static_cast<CMyApplication *>(app.get())->checkSingleInstance();
    if (!alone)
        return 0;

    qDebug() << "fireserver started, application directory" << AppPaths::appDir();
    if (const int removed = LogHandler::removeOldFiles(QDate::currentDate()))
        qDebug() << removed << "daily log files older than the kept days removed";
    // Every connection costs a descriptor; the usual soft limit of 1024 is
    // far below what the listeners' own bounds allow.
    ConnectionLimits::raiseDescriptorLimit();
    const int rc = headless ? runHeadless(*app, watcher) : runConsole(*app, watcher);
    qDebug() << "fireserver stopped";
    return rc;
}
