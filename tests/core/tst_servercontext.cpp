#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QNetworkInterface>
#include <QtTest>

class TestServerContext : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString writeIni(const QByteArray &content)
    {
        const QString path = m_dir.filePath("config.ini");
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
        return path;
    }

private slots:
    void missingFileGivesDefaults()
    {
        ServerContext &ctx = ServerContext::instance();
        ctx.isControl = true;
        ctx.loadIni(m_dir.filePath("nothing.ini"));
        const IniSwitches s = ctx.switches;
        QVERIFY(!s.isHaveNB && !s.isHaveModbus && !s.isHaveHttp);
        QVERIFY(s.httpIP.isEmpty());
        QCOMPARE(s.disconnectTimes, 30);
        QVERIFY(!ctx.isControl && !ctx.isHaveUserType && !ctx.bRemote);
        QCOMPARE(ctx.serverAddress, QHostAddress(QHostAddress::LocalHost));
    }

    void switchesAreOnOnlyForOne()
    {
        const QString path = writeIni("[Server]\nisHaveNB=2\nisHaveModbus=1\nisHaveHttp=yes\n"
                                      "isControl=1\nisHaveUserType=0\nhttpIP=127.0.0.1\n"
                                      "[Setting]\nbRemote=1\n[Com]\ndisconnectTimes=5\n");
        ServerContext::instance().loadIni(path);
        const IniSwitches s = ServerContext::instance().switches;
        QVERIFY(!s.isHaveNB);
        QVERIFY(s.isHaveModbus);
        QVERIFY(!s.isHaveHttp);
        QCOMPARE(s.httpIP, QStringLiteral("127.0.0.1"));
        QCOMPARE(s.disconnectTimes, 5);
        QVERIFY(ServerContext::instance().isControl);
        QVERIFY(!ServerContext::instance().isHaveUserType);
        QVERIFY(ServerContext::instance().bRemote);
    }

    void nonNumericValuesReadAsDefaults()
    {
        const QString path = writeIni("[Com]\ndisconnectTimes=often\n[Server]\nisControl=on\n");
        ServerContext::instance().loadIni(path);
        QCOMPARE(ServerContext::instance().switches.disconnectTimes, 30);
        QVERIFY(!ServerContext::instance().isControl);
    }

    void serverAddressFallsBackToLoopback()
    {
        QCOMPARE(deriveServerAddress(QString()), QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(deriveServerAddress("no-such-interface-xyz"), QHostAddress(QHostAddress::LocalHost));
        writeIni("[System]\nNetName=no-such-interface-xyz\n");
        ServerContext::instance().loadIni(m_dir.filePath("config.ini"));
        QCOMPARE(ServerContext::instance().netName, QStringLiteral("no-such-interface-xyz"));
        QCOMPARE(ServerContext::instance().serverAddress, QHostAddress(QHostAddress::LocalHost));
    }

    void serverAddressOfARealInterface()
    {
        // The loopback interface has a name and an IPv4 address on every Linux machine.
        for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
            if (!(iface.flags() & QNetworkInterface::IsLoopBack))
                continue;
            QCOMPARE(deriveServerAddress(iface.humanReadableName()), QHostAddress("127.0.0.1"));
            return;
        }
        QSKIP("no loopback interface");
    }

    void netNameIsWrittenBack()
    {
        const QString path = writeIni("[Server]\nisControl=1\n");
        writeNetName("lo", path);
        QSettings ini(path, QSettings::IniFormat);
        QCOMPARE(ini.value("System/NetName").toString(), QStringLiteral("lo"));
        QCOMPARE(ini.value("Server/isControl").toInt(), 1);
        QCOMPARE(ServerContext::instance().netName, QStringLiteral("lo"));
    }

    void serialNamesResolveThroughTheIniFile()
    {
        writeIni("[SerialPorts]\nCOM3=/tmp/pty-a\nCOM4=run/ttyPanel\n");
        AppPaths::setAppDir(m_dir.path());
        ServerContext &ctx = ServerContext::instance();
        ctx.loadIni();
        QCOMPARE(ctx.serialDevicePath("COM3"), QStringLiteral("/tmp/pty-a"));
        QCOMPARE(ctx.serialDevicePath("com4"), QDir(m_dir.path()).absolutePath() + "/run/ttyPanel");
        QCOMPARE(ctx.serialDevicePath("COM1"), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(ctx.serialDevicePath("COM12"), QStringLiteral("/dev/ttyS11"));
        QCOMPARE(ctx.serialDevicePath("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        AppPaths::setAppDir(QString());
    }

    void appDirOverride()
    {
        AppPaths::setAppDir(m_dir.path());
        QCOMPARE(AppPaths::appDir(), QDir(m_dir.path()).absolutePath());
        QCOMPARE(AppPaths::file("crt.lock"), QDir(m_dir.path()).absolutePath() + "/crt.lock");
        AppPaths::setAppDir(QString());
        QCOMPARE(AppPaths::appDir(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(TestServerContext)
#include "tst_servercontext.moc"
