// config.ini read once into the shared context: switches on only for 1,
// defaults for what is missing or not a number, the server's address from
// its interface name, serial names through [SerialPorts], the app directory.
#include "common/testfiles.h"
#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QNetworkInterface>
#include <QtTest>

class TestServerContext : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    ServerContext &ctx = ServerContext::instance();

    QString writeIni(const QByteArray &content)
    {
        const QString path = m_dir.filePath("config.ini");
        return TestFiles::write(path, content) ? path : QString();
    }

private slots:
    void switchesAndDefaults()
    {
        ctx.isControl = true;
        ctx.loadIni(m_dir.filePath("nothing.ini"));
        QVERIFY(!ctx.iniSwitch("Server/isHaveNB") && !ctx.iniSwitch("Server/isHaveModbus"));
        QVERIFY(!ctx.isControl && !ctx.isHaveUserType && !ctx.bRemote);
        QCOMPARE(ctx.disconnectTimes, 30);
        QCOMPARE(ctx.serverAddress, QHostAddress(QHostAddress::LocalHost));

        ctx.loadIni(writeIni("[Server]\nisHaveNB=2\nisHaveModbus=1\nisHaveHttp=yes\nisControl=1\nhttpIP=127.0.0.1\n"
                             "[Setting]\nbRemote=1\n[Com]\ndisconnectTimes=5\n"));
        QVERIFY(!ctx.iniSwitch("Server/isHaveNB") && ctx.iniSwitch("Server/isHaveModbus") && !ctx.iniSwitch("Server/isHaveHttp"));
        QVERIFY(ctx.isControl && ctx.bRemote && !ctx.isHaveUserType);
        QCOMPARE(ctx.iniValue("Server/httpIP").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ctx.disconnectTimes, 5);

        ctx.loadIni(writeIni("[Com]\ndisconnectTimes=often\n[Server]\nisControl=on\n"));
        QCOMPARE(ctx.disconnectTimes, 30);
        QVERIFY(!ctx.isControl);

        // Texts come back whole though the reader split them at commas; a
        // number out of its range gives way to the default, with a warning.
        ctx.loadIni(writeIni("[Mqtt]\nclientId= a,b \nport=70000\n"));
        QCOMPARE(ctx.iniText("Mqtt/clientId"), QStringLiteral("a,b"));
        QCOMPARE(ctx.iniText("Mqtt/absent", QStringLiteral("x")), QStringLiteral("x"));
        QTest::ignoreMessage(QtWarningMsg, "Mqtt/port=70000 is outside 1..65535; 1883 is used instead");
        QCOMPARE(ctx.iniInt("Mqtt/port", 1883, 1, 65535), 1883);
    }

    void serverAddressFromTheInterfaceName()
    {
        QCOMPARE(deriveServerAddress("no-such-interface-xyz"), QHostAddress(QHostAddress::LocalHost));
        ctx.loadIni(writeIni("[System]\nNetName=no-such-interface-xyz\n"));
        QCOMPARE(ctx.netName, QStringLiteral("no-such-interface-xyz"));
        QCOMPARE(ctx.serverAddress, QHostAddress(QHostAddress::LocalHost));
        // The loopback interface has a name and an IPv4 address on every Linux machine.
        for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces())
            if (iface.flags() & QNetworkInterface::IsLoopBack)
                QCOMPARE(deriveServerAddress(iface.humanReadableName()), QHostAddress("127.0.0.1"));
        // Written back, the rest of the file kept.
        const QString path = writeIni("[Server]\nisControl=1\n");
        writeNetName("lo", path);
        QSettings ini(path, QSettings::IniFormat);
        QCOMPARE(ini.value("System/NetName").toString() + ini.value("Server/isControl").toString(), QStringLiteral("lo1"));
        QCOMPARE(ctx.netName, QStringLiteral("lo"));
    }

    void serialNamesAndTheAppDirectory()
    {
        writeIni("[SerialPorts]\nCOM3=/tmp/pty-a\nCOM4=run/ttyPanel\n");
        AppPaths::setAppDir(m_dir.path());
        const QString dir = QDir(m_dir.path()).absolutePath();
        QCOMPARE(AppPaths::file("crt.lock"), dir + "/crt.lock");
        ctx.loadIni();
        QCOMPARE(ctx.serialDevicePath("COM3"), QStringLiteral("/tmp/pty-a"));
        QCOMPARE(ctx.serialDevicePath("com4"), dir + "/run/ttyPanel"); // relative to the site
        QCOMPARE(ctx.serialDevicePath("COM12"), QStringLiteral("/dev/ttyS11"));
        QCOMPARE(ctx.serialDevicePath("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        AppPaths::setAppDir(QString());
        QCOMPARE(AppPaths::appDir(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(TestServerContext)
#include "tst_servercontext.moc"
