#pragma once
// "fireserver --check": reads every file of a site with the server's own
// readers and tries the ports it would listen on, so an operator learns
// before a start what the server would do with the site. It writes nothing:
// the settings database is opened read-only, the account file is decoded in
// memory, no log, lock or journal is created.

#include "server/fireserver.h"

#include <QList>
#include <QString>

struct SiteFinding
{
    // Ok: read as it is. Warning: the server starts, but ignores or replaces
    // something the operator wrote. Error: it would not start, or would run
    // without its panels, tables or accounts, or lose data.
    enum Level { Ok = 0, Warning = 1, Error = 2 };
    Level level = Ok;
    QString text;

    // "ok: ...", "warning: ...", "error: ...".
    QString line() const;
};

class SiteCheck
{
public:
    // ports: the listeners to try (the server's fixed ones by default; tests
    // give free ones). metricsPort -1 takes config.ini's, as the server does.
    explicit SiteCheck(const QString &appDir, const FireServer::Options &ports = FireServer::Options());

    // Points AppPaths at the site and reads it; the findings in file order.
    QList<SiteFinding> run();
    // The worst level among the findings: the exit code of --check.
    static int exitCode(const QList<SiteFinding> &findings);

private:
    void add(SiteFinding::Level level, const QString &text) { m_findings.append({level, text}); }
    void addAll(SiteFinding::Level level, const QString &file, const QStringList &texts);
    void checkDirectory();
    void checkIni();
    void checkTables();
    void checkArc();
    void checkControllers();
    void checkAccounts();
    void checkHttpConfig();
    void checkPorts();

    QString m_dir;
    FireServer::Options m_ports;
    QList<SiteFinding> m_findings;
    quint16 m_httpPort = 0;
    QString m_httpHost;
};
