// The site check on real site directories: the sample site is sound; a
// configured one (database, accounts, serial devices) is read without a
// byte or a file of it changing; a broken table, a damaged database, an
// undecodable account file or a taken centre port would stop the server (2); an unknown key or
// a wrong type in config.ini is a warning naming its line (1). The ports
// tried are free ones, never the server's fixed ones.

#include "common/testfiles.h"
#include "server/sitecheck.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Every file below dir with its size, time and content.
QStringList snapshot(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo f(it.next());
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(f.filePath())
                   .arg(f.size())
                   .arg(f.lastModified().toMSecsSinceEpoch())
                   .arg(QString::fromLatin1(
                       QCryptographicHash::hash(TestFiles::read(f.filePath()), QCryptographicHash::Sha1).toHex()));
    }
    out.sort();
    return out;
}
} // namespace

class TestSiteCheck : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    FireServer::Options m_ports;
    QStringList m_lines;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // Checks the site and returns the exit code; the lines go to m_lines.
    int check()
    {
        const QList<SiteFinding> findings = SiteCheck(m_dir->path(), m_ports).run();
        m_lines.clear();
        for (const SiteFinding &f : findings)
            m_lines << f.line();
        return SiteCheck::exitCode(findings);
    }
    QStringList linesOf(const QString &level) const { return m_lines.filter(QRegularExpression("^" + level + ": ")); }

    void appendIni(const QByteArray &text)
    {
        QVERIFY(TestFiles::write(path("config.ini"), TestFiles::read(path("config.ini")) + text));
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        QVERIFY(TestFiles::copySampleSite(m_dir->path()));
        m_ports = FireServer::Options();
        m_ports.clientPort = freePort();
        m_ports.centrePort = freePort();
        m_ports.queryPort = freePort();
        QVERIFY(m_ports.clientPort && m_ports.centrePort && m_ports.queryPort);
    }

    void sampleSiteIsSound()
    {
        const QStringList before = snapshot(m_dir->path());
        QCOMPARE(check(), 0);
        QVERIFY2(linesOf("ok").size() == m_lines.size(), qPrintable(m_lines.join('\n')));
        for (const char *read : {"config.ini: ", "EventConfig.xml: ", "SysSet.xml: ", "httpConfig.ini ",
                                 "centre port ", "client port ", "query port "})
            QVERIFY2(!m_lines.filter(read).isEmpty(), read);
        QCOMPARE(snapshot(m_dir->path()), before);
    }

    void configuredSiteIsReadWithoutChange()
    {
        // COM1 maps to a device that is there, COM2 to the default
        // /dev/ttyS1, moved by the map to one that is not.
        QVERIFY(TestFiles::write(path("ttyPanel"), QByteArray()));
        QVERIFY(TestFiles::write(path("config.ini"),
                                 QStringLiteral("[SerialPorts]\nCOM1=%1\nCOM2=%2\n")
                                     .arg(path("ttyPanel"), path("absent-tty")).toUtf8()));
        QCOMPARE(QProcess::execute(QStringLiteral(FIRE_BINARY_DIR "/site-init"),
                                   {"--app-dir", m_dir->path(), "--controller", QStringLiteral("1:22:1:一号主机"),
                                    "--controller", QStringLiteral("2:22:2:二号主机"), "--account",
                                    "demo:demo123:Local"}),
                 0);
        const QStringList before = snapshot(m_dir->path());
        QCOMPARE(check(), 1);
        QVERIFY2(!m_lines.filter("KelServerSet.db: 2 controllers").isEmpty(), qPrintable(m_lines.join('\n')));
        QVERIFY(!m_lines.filter("FireServerInfo.cfg: 1 accounts").isEmpty());
        QCOMPARE(linesOf("ok").filter("controller 1 (一号主机): COM1 is " + path("ttyPanel")).size(), 1);
        QCOMPARE(linesOf("warning"),
                 QStringList{"warning: controller 2 (二号主机): COM2 is " + path("absent-tty")
                             + ", missing; the panel is reported lost"});
        QCOMPARE(snapshot(m_dir->path()), before);
    }

    void iniKeysAreWarnedWithTheirLine()
    {
        const int lines = TestFiles::read(path("config.ini")).count('\n');
        appendIni("[Server]\nisHaveNb=1\n[Mqtt]\nqos=high\nport=70000\nenabled=yes\ncaFile=absent.pem\n[Bogus]\nkey=1\n");
        QCOMPARE(check(), 1);
        const QString ini = QStringLiteral("warning: config.ini line %1: ");
        QCOMPARE(linesOf("warning"),
                 (QStringList{ini.arg(lines + 2) + "Server/isHaveNb: unknown key, ignored (did you mean Server/isHaveNB?)",
                              ini.arg(lines + 4) + "Mqtt/qos: \"high\" is not a whole number; the default is taken",
                              ini.arg(lines + 5) + "Mqtt/port: 70000 is outside 1..65535; the default is taken",
                              ini.arg(lines + 6) + "Mqtt/enabled: \"yes\" is not 0 or 1; the server takes it as off",
                              ini.arg(lines + 7) + "Mqtt/caFile: " + path("absent.pem") + " cannot be read",
                              ini.arg(lines + 9) + "Bogus/key: unknown key, ignored"}));
    }

    void whatStopsTheServerIsAnError()
    {
        QVERIFY(TestFiles::write(path("EventConfig.xml"), "<?xml version=\"1.0\"?>\n<Config>\n<EventType>\n"));
        QCOMPARE(check(), 2);
        QCOMPARE(linesOf("error").size(), 1);
        QVERIFY2(linesOf("error").first().startsWith("error: EventConfig.xml: configuration file " + path("EventConfig.xml")
                                                     + " does not parse: line "),
                 qPrintable(m_lines.join('\n')));

        QFile::remove(path("EventConfig.xml"));
        QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/EventConfig.xml"), path("EventConfig.xml")));
        QVERIFY(TestFiles::write(path("FireServerInfo.cfg"), "not base64 at all!"));
        QVERIFY(TestFiles::write(path("KelServerSet.db"), QByteArray(4096, 'x')));
        QTcpServer centre;
        QVERIFY(centre.listen(QHostAddress::Any, m_ports.centrePort));
        QCOMPARE(check(), 2);
        QCOMPARE(linesOf("error").size(), 3);
        QVERIFY(linesOf("error").first().startsWith("error: KelServerSet.db: not a readable SQLite database ("));
        QCOMPARE(linesOf("error").mid(1),
                 (QStringList{"error: FireServerInfo.cfg cannot be read or decoded: the server would start without "
                              "accounts and replace the file with an empty one when it stops",
                              QStringLiteral("error: centre port %1 taken (another server runs?): the server would "
                                             "not serve it").arg(m_ports.centrePort)}));
        QCOMPARE(TestFiles::read(path("FireServerInfo.cfg")), QByteArray("not base64 at all!"));
        QCOMPARE(TestFiles::read(path("KelServerSet.db")), QByteArray(4096, 'x'));
    }

    void versionFromTheCommandLine()
    {
        QProcess p;
        p.start(QStringLiteral(FIRE_BINARY_DIR "/fireserver"), {"--version"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(p.readAllStandardOutput().startsWith("fireserver " FIRE_PROJECT_VERSION), "version line");
    }
};

QTEST_GUILESS_MAIN(TestSiteCheck)
#include "tst_sitecheck.moc"
