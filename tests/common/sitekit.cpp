#include "common/sitekit.h"

#include "core/apppaths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTextCodec>

#include <csignal>

bool Site::copyTables(const QString &dir, const QString &sourceDir)
{
    const QString from = (sourceDir.isEmpty() ? QStringLiteral(FIRE_SOURCE_DIR) : sourceDir) + QStringLiteral("/site/");
    for (const char *name : {"EventConfig.xml", "SysSet.xml"}) {
        const QString to = dir + QLatin1Char('/') + QLatin1String(name);
        QFile::remove(to);
        if (!QFile::copy(from + QLatin1String(name), to)) {
            qWarning("cannot copy %s%s", qPrintable(from), name);
            return false;
        }
    }
    return true;
}

QByteArray Site::logBytes(const QString &dir)
{
    QByteArray all;
    const QDir logs(dir + QStringLiteral("/Log"));
    for (const QString &name : logs.entryList(QDir::Files, QDir::Name)) {
        QFile f(logs.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    return all;
}

QString Site::logText(const QString &dir)
{
    return QTextCodec::codecForName("gb2312")->toUnicode(logBytes(dir));
}

FireServer::Options Site::freePorts()
{
    FireServer::Options o;
    o.clientPort = o.centrePort = o.queryPort = o.modbusPort = 0;
    return o;
}

SiteKit::SiteKit() = default;

SiteKit::~SiteKit()
{
    killAll();
    for (QProcess *c : qAsConst(m_clients)) {
        c->kill();
        c->waitForFinished(5000);
    }
    qDeleteAll(m_clients);
}

static bool writeFile(const QString &path, const QByteArray &text, QIODevice::OpenMode mode)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | mode) && f.write(text) == text.size();
}

bool SiteKit::copyTables() const
{
    return Site::copyTables(dir()) && QDir(dir()).mkpath(QStringLiteral("Log"));
}

bool SiteKit::writeIni(const QByteArray &text) const
{
    return writeFile(path(QStringLiteral("config.ini")), text, QIODevice::Truncate);
}

bool SiteKit::appendIni(const QByteArray &text) const
{
    return writeFile(path(QStringLiteral("config.ini")), text, QIODevice::Append);
}

bool SiteKit::init(const QStringList &args) const
{
    return QProcess::execute(QStringLiteral(FIRE_BINARY_DIR "/site-init"), QStringList{"--app-dir", dir()} + args) == 0;
}

void SiteKit::useHere() const
{
    AppPaths::setAppDir(dir());
}

QProcess *SiteKit::launch(const QStringList &extraArgs)
{
    m_logMark = log().size();
    auto *p = new QProcess;
    p->setWorkingDirectory(dir());
    p->setStandardOutputFile(path(QStringLiteral("server-output.txt")), QIODevice::Append);
    p->setStandardErrorFile(path(QStringLiteral("server-output.txt")), QIODevice::Append);
    p->start(QStringLiteral(FIRE_BINARY_DIR "/fireserver"), QStringList{"--headless", "--app-dir", dir()} + extraArgs);
    p->waitForStarted();
    m_servers << p;
    return p;
}

bool SiteKit::start(const QString &readyLine, int timeoutMs)
{
    QProcess *p = launch();
    return QTest::qWaitFor([&] { return startLog().contains(readyLine) || p->state() != QProcess::Running; }, timeoutMs)
           && p->state() == QProcess::Running && startLog().contains(readyLine);
}

qint64 SiteKit::terminate(QProcess *p, int timeoutMs)
{
    if (!p)
        p = server();
    // processId() of a finished process is 0, and kill(0) would hit this test too.
    if (!p || p->state() == QProcess::NotRunning)
        return 0;
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(p->processId()), SIGTERM);
    if (p->waitForFinished(timeoutMs))
        return t.elapsed();
    kill(p);
    return -1;
}

void SiteKit::kill(QProcess *p)
{
    if (!p)
        p = server();
    if (p && p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(5000);
    }
}

void SiteKit::killAll()
{
    for (QProcess *p : qAsConst(m_servers))
        kill(p);
    qDeleteAll(m_servers);
    m_servers.clear();
}

QProcess *SiteKit::client(const QString &user, const QString &password, const QStringList &command)
{
    auto *c = new QProcess;
    c->setProcessChannelMode(QProcess::MergedChannels);
    c->start(QStringLiteral(FIRE_BINARY_DIR "/fire-client"),
             QStringList{"--user", user, "--password", password, "--raw", "--timeout", "60"} + command);
    m_clients << c;
    return c;
}
