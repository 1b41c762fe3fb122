#include "app/cmyapplication.h"
#include "app/loghandler.h"
#include "console/consoleprompt.h"
#include "console/qwidgetmain.h"
#include "core/apppaths.h"
#include "core/fireserver.h"
#include "core/headlessview.h"
#include "core/signalwatcher.h"

#include <QDebug>
#include <QTextCodec>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("gb2312"));

    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0)
            headless = true;
    }
    // Without a window no display is needed: the offscreen platform lets the
    // application object start on a machine with no screen at all.
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    CMyApplication app(argc, argv, 1);
    AppPaths::applyArguments(app.arguments());

    QTranslator translator;
    if (!translator.load(QStringLiteral("KelServer"), AppPaths::file(QStringLiteral("translations"))))
        translator.load(QStringLiteral("qt_zh_CN"), AppPaths::appDir());
    app.installTranslator(&translator);

    // The file log is installed before the instance check (not after it), so
    // a refused second copy leaves its reason in the day's log: headless,
    // nobody sees a message box.
    LogHandler::installIfLogDirExists();
    // Watching from here on: a SIGTERM that arrives while the server is still
    // starting waits in the watcher's socket and then takes the normal
    // shutdown path, instead of killing the process with nothing stored.
    SignalWatcher watcher;
    // With a screen every prompt, the refusal of a second copy included, is a
    // real message box; headless they go to the log.
    if (!headless)
        ConsolePrompt::install();
    if (!app.checkSingleInstance())
        return 0;

    qDebug() << "fireserver started, application directory" << AppPaths::appDir();
    if (!headless) {
        // The console: real message boxes, the window owns and starts the
        // server. Closing it asks for the exit password; a signal takes the
        // same shutdown without it.
        QWidgetMain window;
        window.show();
        QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&window](int sig) {
            qDebug() << "signal" << sig << "received, shutting down";
            window.server()->shutdown();
            QCoreApplication::quit();
        });
        const int rc = app.exec();
        qDebug() << "fireserver stopped";
        return rc;
    }

    FireServer server;
    HeadlessView view;
    server.start(&view);

    // SIGINT and SIGTERM take the same shutdown path as closing the window.
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&server](int sig) {
        qDebug() << "signal" << sig << "received, shutting down";
        server.shutdown();
        QCoreApplication::quit();
    });
    const int rc = app.exec();
    server.shutdown();
    qDebug() << "fireserver stopped";
    return rc;
}
