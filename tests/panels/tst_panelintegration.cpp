// The real drivers in their own threads against the panel simulator over
// socat pseudo-terminal pairs: a whole session per model, stopping a driver
// that waits, a link that vanishes and comes back, and a line full of noise.

#include "eventsink.h"
#include "qtwarningguard.h"
#include "common/socatpair.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "tools/sim/birchpanelsim.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QRandomGenerator>
#include <QtTest>

class TestPanelIntegration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void birchSession();
    void ashSession();
    void closeWhileWaiting();
    void linkComesBack();
    void noisyLine();

private:
    void writeIni(int disconnectTimes);
    bool waitForFrame(const QString &prefix, int ms = 8000);

    QTemporaryDir m_dir;
    SocatPair *m_pair = nullptr;
    BirchSimPort *m_sim = nullptr;
    QStringList m_frames;
};

void TestPanelIntegration::initTestCase()
{
    QtWarningGuard::install();
    QVERIFY(m_dir.isValid());
    AppPaths::setAppDir(m_dir.path());
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QSKIP("socat is not installed");
}

void TestPanelIntegration::writeIni(int disconnectTimes)
{
    QFile ini(m_dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(QStringLiteral("[SerialPorts]\nCOM7=%1\n[Com]\ndisconnectTimes=%2\n")
                  .arg(m_pair->a()).arg(disconnectTimes).toUtf8());
    ini.close();
    ServerContext::instance().loadIni();
}

void TestPanelIntegration::init()
{
    // Unique names: QSerialPort keeps lock files named after the device.
    const QString tag = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(QTest::currentTestFunction());
    m_pair = new SocatPair(m_dir.filePath(QStringLiteral("drv-") + tag), m_dir.filePath(QStringLiteral("sim-") + tag));
    QVERIFY(m_pair->start());
    writeIni(30);
    m_sim = new BirchSimPort;
    QVERIFY2(m_sim->openDevice(m_pair->b()), qPrintable(m_sim->errorText()));
    m_frames.clear();
    connect(m_sim, &BirchSimPort::frameReceived, this, [this](const QString &t) { m_frames << t; });
}

void TestPanelIntegration::cleanup()
{
    delete m_sim;
    m_sim = nullptr;
    delete m_pair;
    m_pair = nullptr;
    QCOMPARE(QtWarningGuard::take(), QStringList());
}

bool TestPanelIntegration::waitForFrame(const QString &prefix, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        for (const QString &f : qAsConst(m_frames))
            if (f.startsWith(prefix))
                return true;
        QTest::qWait(20);
    }
    return false;
}

static int countCode(const EventSink &s, int code)
{
    int n = 0;
    for (const CEvent &e : s.events)
        n += e.nEventCode == code;
    return n;
}

void TestPanelIntegration::birchSession()
{
    BirchPanelSim &sim = m_sim->sim();
    sim.addRecord(0xDE, 5, 2, 0, 7);
    sim.addRecord(0xDE, 6, 2, 0, 7);
    sim.addReport(0x15, 1, 2, 0, 0x30);
    sim.addStatus(0x10);
    ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    QCOMPARE(d.devicePath(), m_pair->a());
    d.start();

    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 8) == 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 5) == 1, 10000);
    const CEvent rec = sink.events.at(0);
    QCOMPARE(rec.strCode, QStringLiteral("00200507"));
    QCOMPARE(int(rec.nCom), 7);
    QCOMPARE(rec.nPanelType, 22);
    QCOMPARE(rec.strTime.size(), 19);
    QVERIFY(waitForFrame(QStringLiteral("record-request 21 07 03 de 01 03 0d")));

    QTRY_VERIFY(d.isLastExchangeOk());
    CEvent silence;
    silence.nEventCode = CmdSilence;
    QVERIFY(d.addCommand(silence.toVariant()));
    QVERIFY(waitForFrame(QStringLiteral("command 01 0a 01 aa 70 01 55 55 55 26")));
    CEvent reset;
    reset.nEventCode = CmdReset;
    QTRY_VERIFY(d.isLastExchangeOk());
    QVERIFY(d.addCommand(reset.toVariant()));
    QVERIFY(waitForFrame(QStringLiteral("command 01 0a 02 aa 04 01 55 55 55 bb")));
    QTRY_VERIFY(countCode(sink, 12) == 1);
    QCOMPARE(sink.events.last().strCode, QStringLiteral("00000000"));
    d.closeController();
    QVERIFY(!d.isRunning());
    QCOMPARE(countCode(sink, 17), 0); // the panel never went quiet
}

void TestPanelIntegration::ashSession()
{
    BirchPanelSim &sim = m_sim->sim();
    sim.setModel(BirchPanelSim::Ash);
    sim.setAckForm(BirchPanelSim::LongAck);
    sim.addRecord(0xDE, 0x12, 0x34, 0x56, 78);
    sim.addReport(0x22, 1, 2, 3, 0x59);
    sim.addStatus(0x10);
    sim.addStatus(0x00);
    ControllerAsh d(QStringLiteral("COM:COM7"), 1, 20);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    d.start();
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 126) == 1, 15000);
    QCOMPARE(countCode(sink, 8), 1);
    QCOMPARE(countCode(sink, 7), 1);
    QCOMPARE(countCode(sink, 125), 1);
    QCOMPARE(countCode(sink, 114), 2);
    for (const CEvent &e : qAsConst(sink.events))
        QCOMPARE(e.nPanelType, 20);

    QTRY_VERIFY(d.isLastExchangeOk());
    CEvent silence;
    silence.nEventCode = CmdSilence;
    QVERIFY(d.addCommand(silence.toVariant()));
    QVERIFY(waitForFrame(QStringLiteral("command 01 0a 01 aa 70 01 55 55 55 26")));
    CEvent reset;
    reset.nEventCode = CmdReset;
    QTRY_VERIFY(d.isLastExchangeOk());
    QVERIFY(d.addCommand(reset.toVariant()));
    QVERIFY(waitForFrame(QStringLiteral("command 01 0a 02 aa 04 01 55 55 55 bb")));
    d.closeController();
}

void TestPanelIntegration::closeWhileWaiting()
{
    ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
    QVERIFY(d.openController());
    d.start();
    QTRY_VERIFY(d.isLastExchangeOk());
    // A command in flight: the panel stops answering, so the driver sits in
    // the first of three half-second reply waits.
    m_sim->sim().setSilent(true);
    CEvent silence;
    silence.nEventCode = CmdSilence;
    QVERIFY(d.addCommand(silence.toVariant()));
    QVERIFY(waitForFrame(QStringLiteral("command")));
    QTest::qWait(100);
    QElapsedTimer t;
    t.start();
    QVERIFY(d.closeController());
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!d.isRunning());
    QVERIFY(!d.isConnected());

    // Open again while the panel is silent: the driver waits in a poll read.
    QVERIFY(d.openController());
    d.start();
    m_frames.clear();
    QVERIFY(waitForFrame(QStringLiteral("poll")));
    QTest::qWait(300);
    t.restart();
    d.closeController();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    // Deleting a running driver stops it as well.
    auto *other = new ControllerBirch(QStringLiteral("COM:COM7"), 1, 22);
    QVERIFY(other->openController());
    other->start();
    QTest::qWait(300);
    t.restart();
    delete other;
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
}

void TestPanelIntegration::linkComesBack()
{
    writeIni(2);
    ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    QCOMPARE(d.disconnectTimes(), 2);
    d.start();
    QTRY_VERIFY(d.isLastExchangeOk());

    // The pair vanishes: the simulator's end goes too.
    delete m_sim;
    m_sim = nullptr;
    m_pair->kill();
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17) == 1, 10000);
    QCOMPARE(sink.events.last().nEventProperty, 1);
    QVERIFY(d.isConnected()); // still ours to close: it is reopening

    // The pair comes back under the same paths.
    QVERIFY(m_pair->start());
    m_sim = new BirchSimPort;
    QVERIFY(m_sim->openDevice(m_pair->b()));
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17) == 2, 15000);
    QCOMPARE(sink.events.last().nEventProperty, 0);
    QTRY_VERIFY(d.isLastExchangeOk());
    QElapsedTimer t;
    t.start();
    d.closeController();
    QVERIFY(t.elapsed() < 1000);
}

void TestPanelIntegration::noisyLine()
{
    writeIni(3);
    m_sim->sim().setGarbage(true);
    QTimer noise;
    connect(&noise, &QTimer::timeout, this, [this] {
        QByteArray g;
        for (int i = 0; i < 64; ++i)
            g.append(char(QRandomGenerator::global()->bounded(256)));
        m_sim->sendRaw(g);
    });
    noise.start(10);
    ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    d.start();
    // Garbage answers are failed cycles: the fault comes after three. (A
    // random byte can now and then look like the idle reply, so the count
    // itself may restart; the fault event is what must appear.)
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17) >= 1, 10000);
    QCOMPARE(sink.events.first().nEventProperty, 1);
    QTest::qWait(1000);
    QVERIFY(d.isRunning());
    // The noise stops: the panel is heard again.
    noise.stop();
    m_sim->sim().setGarbage(false);
    QTRY_VERIFY_WITH_TIMEOUT(countCode(sink, 17) >= 2 && sink.events.last().nEventProperty == 0, 10000);
    d.closeController();
}

QTEST_GUILESS_MAIN(TestPanelIntegration)
#include "tst_panelintegration.moc"
