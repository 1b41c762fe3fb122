// The real Cedar and Dune drivers in their own threads against the panel
// simulator over a socat pseudo-terminal pair: the record query, reports
// reaching sendEvent, commands, and communication lost and restored.

#include "eventsink.h"
#include "qtwarningguard.h"
#include "common/socatpair.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/models/controllercedar.h"
#include "panels/models/controllerdune.h"
#include "tools/sim/cedarpanelsim.h"

#include <QTemporaryDir>
#include <QtTest>

class TestCedarIntegration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cedarSession();
    void duneSession();

private:
    bool sawFrame(const QString &prefix) const;
    void sendCommand(Controller &d, int code);

    QTemporaryDir m_dir;
    SocatPair *m_pair = nullptr;
    CedarSimPort *m_sim = nullptr;
    QStringList m_frames;
};

namespace {
int countCode(const EventSink &s, int code, int property = -1)
{
    int n = 0;
    for (const CEvent &e : s.events)
        n += e.nEventCode == code && (property < 0 || e.nEventProperty == property);
    return n;
}

const CEvent *findCode(const EventSink &s, int code)
{
    for (const CEvent &e : s.events)
        if (e.nEventCode == code)
            return &e;
    return nullptr;
}
}

void TestCedarIntegration::initTestCase()
{
    QtWarningGuard::install();
    QVERIFY(m_dir.isValid());
    AppPaths::setAppDir(m_dir.path());
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QSKIP("socat is not installed");
}

void TestCedarIntegration::init()
{
    // Unique names: QSerialPort keeps lock files named after the device.
    const QString tag = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(QTest::currentTestFunction());
    m_pair = new SocatPair(m_dir.filePath(QStringLiteral("drv-") + tag), m_dir.filePath(QStringLiteral("sim-") + tag));
    QVERIFY(m_pair->start());
    QFile ini(m_dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(QStringLiteral("[SerialPorts]\nCOM7=%1\n[Com]\ndisconnectTimes=3\n").arg(m_pair->a()).toUtf8());
    ini.close();
    ServerContext::instance().loadIni();
    m_sim = new CedarSimPort;
    QVERIFY2(m_sim->openDevice(m_pair->b()), qPrintable(m_sim->errorText()));
    m_frames.clear();
    connect(m_sim, &CedarSimPort::frameReceived, this, [this](const QString &t) { m_frames << t; });
}

void TestCedarIntegration::cleanup()
{
    delete m_sim;
    m_sim = nullptr;
    delete m_pair;
    m_pair = nullptr;
    QCOMPARE(QtWarningGuard::take(), QStringList());
}

bool TestCedarIntegration::sawFrame(const QString &prefix) const
{
    for (const QString &f : m_frames)
        if (f.startsWith(prefix))
            return true;
    return false;
}

void TestCedarIntegration::sendCommand(Controller &d, int code)
{
    CEvent c;
    c.nEventCode = code;
    // Refused (and without effect) until the last exchange succeeded.
    QTRY_VERIFY(d.addCommand(c.toVariant()));
}

void TestCedarIntegration::cedarSession()
{
    CedarPanelSim &sim = m_sim->sim();
    sim.addRecord(QByteArray::fromHex("11223301"));
    sim.addRecord(QByteArray::fromHex("00010203"));
    sim.addIdle(2);
    sim.addRaised(QByteArray::fromHex("00030512"), 0x00);
    sim.addStatus(0x40);
    ControllerCedar d(QStringLiteral("COM:COM7"), 1, 50);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    QCOMPARE(d.devicePath(), m_pair->a());
    QCOMPARE(d.disconnectTimes(), 3);
    d.start();

    // After start the query asks for record 2 first.
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 3) == 1, 15000);
    QCOMPARE(countCode(sink, 8), 1);
    QCOMPARE(findCode(sink, 8)->strCode, QStringLiteral("00010203"));
    const CEvent raised = *findCode(sink, 3);
    QCOMPARE(raised.strCode, QStringLiteral("00030512"));
    QCOMPARE(raised.nDevType, 12);
    QCOMPARE(raised.nPanelType, 50);
    QCOMPARE(int(raised.nCom), 7);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 111) == 1, 10000);
    QCOMPARE(countCode(sink, 118), 1);
    QCOMPARE(countCode(sink, 115), 1);

    sendCommand(d, CmdSilence);
    QTRY_VERIFY_WITH_TIMEOUT(sawFrame(QStringLiteral("handshake silence 01 1b")), 8000);
    // A reset starts the records over, from record 1.
    sendCommand(d, CmdReset);
    QTRY_VERIFY_WITH_TIMEOUT(sawFrame(QStringLiteral("handshake reset 01 5f")), 8000);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 8) == 3, 10000);
    QCOMPARE(sink.events.last().strCode, QStringLiteral("00010203"));

    // The panel falls silent: lost after three failed cycles, then restored.
    QCOMPARE(countCode(sink, 101), 0);
    sim.setSilent(true);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 101, 1) == 1, 15000);
    sim.setSilent(false);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 100, 0) == 1, 15000);
    d.closeController();
    QVERIFY(!d.isRunning());
    QCOMPARE(countCode(sink, 17), 0);
}

void TestCedarIntegration::duneSession()
{
    CedarPanelSim &sim = m_sim->sim();
    sim.setModel(CedarPanelSim::Dune);
    sim.addRecord(QByteArray::fromHex("01020304"));
    sim.addRecord(QByteArray::fromHex("0a102245"));
    sim.addIdle(2);
    sim.addRaised(QByteArray::fromHex("00030545"), 0x04);
    sim.addCleared(QByteArray::fromHex("00030545"), 0x04);
    ControllerDune d(QStringLiteral("COM:COM7"), 1, 160);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    d.start();

    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 5) == 1, 15000);
    QCOMPARE(countCode(sink, 8), 1);
    QCOMPARE(findCode(sink, 8)->strCode, QStringLiteral("0*102245"));
    QCOMPARE(countCode(sink, 2), 1); // raised, then cleared
    QCOMPARE(findCode(sink, 2)->strCode, QStringLiteral("00030545"));
    for (const CEvent &e : qAsConst(sink.events))
        QCOMPARE(e.nPanelType, 160);

    sendCommand(d, CmdSilence);
    QTRY_VERIFY_WITH_TIMEOUT(sawFrame(QStringLiteral("handshake silence 01 1b")), 8000);
    sendCommand(d, CmdReset);
    QTRY_VERIFY_WITH_TIMEOUT(sawFrame(QStringLiteral("handshake reset 01 5f")), 8000);
    QTRY_COMPARE(countCode(sink, 12), 1);

    sim.setSilent(true);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17, 1) == 1, 15000);
    sim.setSilent(false);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17, 0) == 1, 15000);
    d.closeController();
    QVERIFY(!d.isRunning());
}

QTEST_GUILESS_MAIN(TestCedarIntegration)
#include "tst_cedarintegration.moc"
