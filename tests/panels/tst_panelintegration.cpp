// The real serial drivers in their own threads against the panel simulators
// over socat pseudo-terminal pairs: a session per model, stopping a driver
// that waits, and a pseudo-terminal destroyed and recreated under the
// running driver.

#include "common/eventsink.h"
#include "common/qtwarningguard.h"
#include "recordtable.h"
#include "common/socatpair.h"
#include "common/testfiles.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/cpanelmanager.h"
#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "panels/models/controllercedar.h"
#include "panels/models/controllerdune.h"
#include "panels/models/controllerglen.h"
#include "tools/sim/birchpanelsim.h"
#include "tools/sim/cedarpanelsim.h"
#include "tools/sim/glenpanelsim.h"
#include "tools/sim/recordpanelsim.h"

#include <QtTest>

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

int count(const EventSink &s, int code, int property = -1)
{
    int n = 0;
    for (const CEvent &e : s.events)
        n += e.nEventCode == code && (property < 0 || e.nEventProperty == property);
    return n;
}

CEvent command(int code)
{
    CEvent c;
    c.nEventCode = code;
    return c;
}

// Refused (and without effect) until the last exchange succeeded.
void sendCommand(Controller &d, int code)
{
    QTRY_VERIFY(d.addCommand(command(code)));
}

int openDescriptors() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size(); }
} // namespace

class TestPanelIntegration : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SocatPair *m_pair = nullptr;
    QScopedPointer<SimSerialPort> m_port;
    QStringList m_frames;

    // The driver's end of the pair becomes COM<com>.
    void writeIni(int com, int disconnectTimes)
    {
        QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("config.ini")),
                                 QStringLiteral("[SerialPorts]\nCOM%1=%2\n[Com]\ndisconnectTimes=%3\n")
                                     .arg(com).arg(m_pair->a()).arg(disconnectTimes).toUtf8()));
        ServerContext::instance().loadIni();
    }
    // The simulator on the other end; null if it cannot open it.
    template <class Port>
    Port *openSim(qint32 baud = 2400)
    {
        auto *port = new Port;
        m_port.reset(port);
        connect(port, &SimSerialPort::frameReceived, this, [this](const QString &t) { m_frames << t; });
        if (port->openDevice(m_pair->b(), baud))
            return port;
        qWarning() << "simulator:" << port->errorText();
        return nullptr;
    }
    bool waitForFrame(const QString &prefix)
    {
        return QTest::qWaitFor([&] { return !m_frames.filter(QRegularExpression("^" + prefix)).isEmpty(); }, 8000);
    }

private slots:
    void initTestCase()
    {
        QtWarningGuard::install();
        if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
            QSKIP("socat is not installed");
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(loadRecordEventTable(m_dir.path()));
    }
    void init()
    {
        // Unique names: QSerialPort keeps lock files named after the device.
        const QString tag = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(QTest::currentTestFunction());
        m_pair = new SocatPair(m_dir.filePath("drv-" + tag), m_dir.filePath("sim-" + tag));
        QVERIFY(m_pair->start());
        m_frames.clear();
    }
    void cleanup()
    {
        m_port.reset();
        delete m_pair;
        m_pair = nullptr;
        QCOMPARE(QtWarningGuard::take(), QStringList());
    }

    void birchSession_data()
    {
        QTest::addColumn<bool>("ash");
        QTest::newRow("ControllerBirch") << false;
        QTest::newRow("ControllerAsh") << true;
    }
    void birchSession()
    {
        QFETCH(bool, ash);
        writeIni(7, 30);
        auto *port = openSim<BirchSimPort>();
        QVERIFY(port);
        BirchPanelSim &sim = port->sim();
        sim.setAckForm(ash ? BirchPanelSim::LongAck : BirchPanelSim::ShortAck);
        sim.addRecord(0xDE, 5, 2, 0, 7);
        sim.addRecord(0xDE, 6, 2, 0, 7);
        sim.addReport(0x22, 1, 2, 3, 0x59); // Birch: 4, Ash: 7
        sim.addStatus(0x10);
        sim.addStatus(0x00);
        QScopedPointer<Controller> d(ash ? static_cast<Controller *>(new ControllerAsh("COM:COM7", 1, 20))
                                         : new ControllerBirch("COM:COM7", 1, 22));
        EventSink sink;
        sink.watch(d.data());
        QVERIFY(d->openController());
        QCOMPARE(d->devicePath(), m_pair->a());
        d->start();
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, ash ? 7 : 4) == 1, 15000);
        QVERIFY(waitForFrame(QStringLiteral("record-request 21 07 03 de 01 03 0d")));
        QCOMPARE(count(sink, 8), 2);
        QCOMPARE(sink.events.at(0).strCode, ash ? QStringLiteral("05020007") : QStringLiteral("00200507"));
        if (ash)
            QTRY_VERIFY(count(sink, 125, 1) == 1 && count(sink, 126, 0) == 1);

        sendCommand(*d, CmdSilence);
        QVERIFY(waitForFrame(QStringLiteral("command 01 0a 01 aa 70 01 55 55 55 26")));
        sendCommand(*d, CmdReset);
        QVERIFY(waitForFrame(QStringLiteral("command 01 0a 02 aa 04 01 55 55 55 bb")));
        if (!ash)
            QTRY_VERIFY(count(sink, 12) == 1);
        d->closeController();
        QVERIFY(!d->isRunning());
        QCOMPARE(count(sink, 17) + count(sink, 101), 0); // the panel never went quiet
    }

    void cedarSession_data()
    {
        QTest::addColumn<bool>("dune");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("raisedCode");
        QTest::newRow("ControllerCedar") << false << "00030512" << 0x00 << 3;
        QTest::newRow("ControllerDune") << true << "00030545" << 0x04 << 2;
    }
    void cedarSession()
    {
        QFETCH(bool, dune);
        QFETCH(QString, address);
        QFETCH(int, state);
        QFETCH(int, raisedCode);
        writeIni(7, 3);
        auto *port = openSim<CedarSimPort>();
        QVERIFY(port);
        CedarPanelSim &sim = port->sim();
        sim.setModel(dune ? CedarPanelSim::Dune : CedarPanelSim::Cedar);
        sim.addRecord(hex("11223301"));
        sim.addRecord(hex("0a102245"));
        sim.addIdle(2);
        sim.addRaised(QByteArray::fromHex(address.toLatin1()), quint8(state));
        QScopedPointer<Controller> d(dune ? static_cast<Controller *>(new ControllerDune("COM:COM7", 1, 160))
                                          : new ControllerCedar("COM:COM7", 1, 50));
        EventSink sink;
        sink.watch(d.data());
        QVERIFY(d->openController());
        d->start();

        // After start the query asks for record 2 first.
        QTRY_VERIFY_WITH_TIMEOUT(sink.events.size() == 2, 15000);
        QCOMPARE(sink.codes(), (QList<int>{8, raisedCode}));
        QCOMPARE(sink.events.at(0).strCode, QStringLiteral("0*102245"));
        QCOMPARE(sink.events.at(1).strCode, address);

        sendCommand(*d, CmdSilence);
        QVERIFY(waitForFrame(QStringLiteral("handshake silence 01 1b")));
        sendCommand(*d, CmdReset);
        QVERIFY(waitForFrame(QStringLiteral("handshake reset 01 5f")));
        // Cedar starts the records over from record 1; Dune tells the reset.
        if (dune)
            QTRY_COMPARE(count(sink, 12), 1);
        else
            QTRY_VERIFY_WITH_TIMEOUT(count(sink, 8) == 3, 10000);

        // The panel falls silent: lost after three failed cycles, then restored.
        const int lost = dune ? 17 : 101, restored = dune ? 17 : 100;
        sim.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, lost, 1) == 1, 15000);
        sim.setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, restored, 0) == 1, 15000);
        d->closeController();
        QVERIFY(!d->isRunning());
    }

    void glenSession()
    {
        writeIni(4, 30);
        auto *port = openSim<GlenSimPort>(57600);
        QVERIFY(port);
        port->sim().playEveryKind();
        ControllerGlen d(QStringLiteral("COM:COM4"), 1, 31);
        EventSink sink;
        sink.watch(&d);
        QVERIFY(d.openController());
        d.start();
        // Kinds 1..0x1E less the five without a code and 0x13 with another byte
        // 4 (24), 0x14 as three (+2), and the special forms (1 + 2 + 3 + 1 + 7 + 1).
        QTRY_COMPARE_WITH_TIMEOUT(sink.events.size(), 24 + 2 + 15, 15000);
        for (int code : {2001, 125, 128, 5201, 3111, 6305})
            QCOMPARE(count(sink, code), 1);
        QCOMPARE(count(sink, 101), 0);

        sendCommand(d, CmdSilence);
        QVERIFY(waitForFrame(QStringLiteral("command cb bc a0 a0 20 00 02 00 c1 00 01 00 00 00 00 00 00 00 e4")));
        QVERIFY(m_frames.first().startsWith(QStringLiteral("poll cb bc a0 a0 11")));
        d.closeController();
        QVERIFY(!d.isRunning());
    }

    void juniperSessionThroughTheManager()
    {
        writeIni(9, 30);
        auto *port = openSim<JuniperSimPort>(115200);
        QVERIFY(port);
        JuniperPanelSim &sim = port->sim();
        QDateTime now = QDateTime::currentDateTime();
        CPanelManager manager;
        manager.setClock([&now] { return now; });
        auto *info = new ControllerInfo;
        info->controllerId = 4;
        info->controllerType = 250;
        info->comPort = 9;
        manager.addController(info);
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
        QVERIFY(manager.openPanel(4));
        spy.clear();

        sim.addReport(0x21, 1, 5, 3, QStringLiteral("烟感"));
        sim.addReport(37);
        sim.addReport(0x30); // not in the table: answered only
        sim.addReport(5, 2, 9, 4);
        QTRY_COMPARE_WITH_TIMEOUT(sim.reportsAcknowledged(), 4, 10000);
        QTRY_COMPARE(spy.count(), 3);
        const auto at = [&spy](int i) { return CEvent::fromVariant(spy.at(i).at(0)); };
        QCOMPARE(at(0).nEventCode, 33);
        QCOMPARE(at(0).nAddress, 5);
        QCOMPARE(at(1).nEventCode, 37);
        QCOMPARE(at(2).nLoop, 2);
        spy.clear();
        now = now.addSecs(5);
        manager.checkCommState();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(at(0).strNote, QStringLiteral("通讯正常"));

        // The lamp on a pseudo-terminal, which has no modem lines: logged, no harm.
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("DTR of COM9 cannot be set")));
        manager.slotIndicateRemoteLight(1);
        sim.addReport(1);
        QTRY_COMPARE_WITH_TIMEOUT(sim.reportsAcknowledged(), 5, 10000);
        QCOMPARE(sim.wrongAcknowledgements(), 0);
        manager.closeAllPanels();
    }

    void closeWhileWaiting()
    {
        writeIni(7, 30);
        auto *port = openSim<BirchSimPort>();
        QVERIFY(port);
        ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
        QVERIFY(d.openController());
        d.start();
        // A command in flight: the panel stops answering, so the driver sits
        // in the first of three half-second reply waits.
        QTRY_VERIFY(d.isLastExchangeOk());
        port->sim().setSilent(true);
        sendCommand(d, CmdSilence);
        QVERIFY(waitForFrame(QStringLiteral("command")));
        QElapsedTimer t;
        t.start();
        QVERIFY(d.closeController());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!d.isRunning() && !d.isConnected());

        // Deleting a running driver that waits in a poll read stops it as well.
        auto *other = new ControllerBirch(QStringLiteral("COM:COM7"), 1, 22);
        QVERIFY(other->openController());
        other->start();
        m_frames.clear();
        QVERIFY(waitForFrame(QStringLiteral("poll")));
        t.restart();
        delete other;
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    }

    void linkComesBack()
    {
        writeIni(7, 2);
        QVERIFY(openSim<BirchSimPort>());
        ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
        EventSink sink;
        sink.watch(&d);
        QVERIFY(d.openController());
        d.start();
        QTRY_VERIFY(d.isLastExchangeOk());
        const int descriptors = openDescriptors();
        // The pair vanishes, the simulator's end with it.
        m_port.reset();
        m_pair->kill();
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17, 1) == 1, 10000);
        QVERIFY(d.isConnected()); // still ours to close: it is reopening
        // The pair comes back under the same paths.
        QVERIFY(m_pair->start());
        auto *port = openSim<BirchSimPort>();
        QVERIFY(port);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17, 0) == 1, 15000);
        QTRY_VERIFY(d.isLastExchangeOk());
        // The panel's reports are heard again, and the lost device left no
        // descriptor behind.
        port->sim().addReport(0x22, 1, 2, 3, 0x59);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 4) == 1, 10000);
        QCOMPARE(openDescriptors(), descriptors);
        QElapsedTimer t;
        t.start();
        d.closeController();
        QVERIFY(t.elapsed() < 1000);
    }
};

QTEST_GUILESS_MAIN(TestPanelIntegration)
#include "tst_panelintegration.moc"
