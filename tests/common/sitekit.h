#pragma once
// A site in a temporary directory and the real server on it, for the tests
// and benchmarks that meet the server as a site does: the sample event
// tables, config.ini, controllers and accounts written through site-init,
// the headless executable started and stopped by signal, its day logs read
// back as text, fire-client as a peer, and the options that let an
// in-process server take free ports instead of the fixed ones.

#include "server/fireserver.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace Site {
// The sample site's event and system tables copied into dir.
bool copyTables(const QString &dir, const QString &sourceDir = QString());
// The day logs the server wrote in dir/Log, joined (as written, and as text).
QByteArray logBytes(const QString &dir);
QString logText(const QString &dir);
// Every port of a server in the test's own process 0: the system picks.
FireServer::Options freePorts();
} // namespace Site

class SiteKit
{
public:
    SiteKit();
    ~SiteKit(); // kills what it started that still runs

    bool isValid() const { return m_dir.isValid(); }
    QString dir() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // The sample tables, and Log/ so that the server writes its day logs there.
    bool copyTables() const;
    bool writeIni(const QByteArray &text) const;
    bool appendIni(const QByteArray &text) const;
    // site-init on this site: "--controller id:type:com:name", "--account user:pw:ip", ...
    bool init(const QStringList &args) const;
    // Points the in-process paths (settings database, accounts) at this site.
    void useHere() const;

    // A headless server on the site (its output goes to server-output.txt);
    // it becomes server().
    QProcess *launch(const QStringList &extraArgs = {});
    // launch(), then waits until the log written since holds readyLine; false
    // when it ended or did not within timeoutMs (startLog() tells why).
    bool start(const QString &readyLine = QStringLiteral("server started:"), int timeoutMs = 20000);
    QProcess *server() const { return m_servers.isEmpty() ? nullptr : m_servers.last(); }
    bool running() const { return server() && server()->state() == QProcess::Running; }
    // SIGTERM; milliseconds until it ended, -1 when it did not within
    // timeoutMs (it is then killed).
    qint64 terminate(QProcess *p = nullptr, int timeoutMs = 10000);
    void kill(QProcess *p = nullptr); // SIGKILL, and waits
    void killAll();

    QString log() const { return Site::logText(dir()); }
    // The log written since the last launch().
    QString startLog() const { return log().mid(m_logMark); }

    // fire-client logged in with user/password, printing raw JSON lines.
    QProcess *client(const QString &user, const QString &password, const QStringList &command = {});

private:
    QTemporaryDir m_dir;
    QList<QProcess *> m_servers; // owned
    QList<QProcess *> m_clients; // owned
    int m_logMark = 0;
};
