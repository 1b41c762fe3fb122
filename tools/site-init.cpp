// site-init: prepares an application directory for a server: the settings
// database with the given controllers and the account file with the given
// client accounts. Existing controllers and accounts are kept, so it is safe
// to run again.

#include "clients/clientaccounts.h"
#include "config/controllerstore.h"
#include "core/apppaths.h"
#include "core/commandline.h"
#include "panels/panelmodel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSqlQuery>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription("Adds controllers and client accounts to a site directory.");
    p.addHelpOption();
    p.addOptions({
        {"app-dir", "The site (application) directory.", "dir"},
        {"controller", "A controller ID:TYPE:COMMVALUE:NAME (repeatable), e.g. 1:22:1:一号主机.", "entry"},
        {"account", "A client account NAME:PASSWORD[:TYPE] (repeatable).", "entry"},
    });
    CommandLine::process(p, app.arguments());
    if (!p.isSet("app-dir"))
        CommandLine::fail(p, QStringLiteral("--app-dir is required"));
    AppPaths::setAppDir(p.value("app-dir"));

    int failures = 0;
    ControllerStore::openDatabase(ControllerStore::selectDatabaseFile());
    if (!ControllerStore::isDatabaseOpen()) {
        fprintf(stderr, "site-init: the settings database cannot be opened\n");
        return 1;
    }
    QList<int> known;
    for (const ControllerInfo &info : ControllerStore::readControllers(&PanelModels::isNetworkType))
        known.append(info.controllerId);
    for (const QString &entry : p.values("controller")) {
        const QStringList f = entry.split(':');
        if (f.size() < 4) {
            fprintf(stderr, "site-init: controller \"%s\" is not ID:TYPE:COMMVALUE:NAME\n", qPrintable(entry));
            ++failures;
            continue;
        }
        const int id = f.at(0).toInt();
        if (known.contains(id))
            continue;
        // A network CommValue has a ':' of its own: everything between the
        // type and the last field belongs to it.
        const QString comm = f.mid(2, f.size() - 3).join(':');
        if (!ControllerStore::insertController(id, f.last(), f.at(1).toInt(), comm))
            ++failures;
    }
    ControllerStore::closeDatabase();

    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.load();
    for (const QString &entry : p.values("account")) {
        const QStringList f = entry.split(':');
        if (f.size() < 2) {
            fprintf(stderr, "site-init: account \"%s\" is not NAME:PASSWORD[:TYPE]\n", qPrintable(entry));
            ++failures;
            continue;
        }
        if (accounts.contains(f.at(0)))
            continue;
        QString refusal;
        if (!accounts.addAccount(f.at(0), f.at(1), f.value(2, QStringLiteral("Local")), &refusal)) {
            fprintf(stderr, "site-init: account %s refused: %s\n", qPrintable(f.at(0)), qPrintable(refusal));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
