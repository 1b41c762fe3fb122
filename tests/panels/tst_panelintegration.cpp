// The real drivers in their own threads against the panel simulator over
// socat pseudo-terminal pairs: a whole session per model, stopping a driver
// that waits, a pseudo-terminal destroyed and recreated under the running
// driver, and a line full of noise.

#include "eventsink.h"
#include "qtwarningguard.h"
#include "common/socatpair.h"
#include "common/testfiles.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "tools/sim/birchpanelsim.h"

#include <QRandomGenerator>
#include <QTimer>
#include <QtTest>

class TestPanelIntegration : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SocatPair *m_pair = nullptr;
    BirchSimPort *m_sim = nullptr;
    QStringList m_frames;

    void writeIni(int disconnectTimes)
    {
        QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("config.ini")),
                                 QStringLiteral("[SerialPorts]\nCOM7=%1\n[Com]\ndisconnectTimes=%2\n")
                                     .arg(m_pair->a()).arg(disconnectTimes).toUtf8()));
        ServerContext::instance().loadIni();
    }
    void openSimulator()
    {
        m_sim = new BirchSimPort;
        QVERIFY2(m_sim->openDevice(m_pair->b()), qPrintable(m_sim->errorText()));
        connect(m_sim, &BirchSimPort::frameReceived, this, [this](const QString &t) { m_frames << t; });
    }
    bool waitForFrame(const QString &prefix)
    {
        return QTest::qWaitFor([&] { return !m_frames.filter(QRegularExpression("^" + prefix)).isEmpty(); }, 8000);
    }
    static int count(const EventSink &s, int code, int property = -1)
    {
        int n = 0;
        for (const CEvent &e : s.events)
            n += e.nEventCode == code && (property < 0 || e.nEventProperty == property);
        return n;
    }
    static int openDescriptors() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size(); }
    static void sendCommand(Controller &d, int code)
    {
        QTRY_VERIFY(d.isLastExchangeOk());
        CEvent c;
        c.nEventCode = code;
        QVERIFY(d.addCommand(c.toVariant()));
    }

private slots:
    void initTestCase()
    {
        QtWarningGuard::install();
        if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
            QSKIP("socat is not installed");
        AppPaths::setAppDir(m_dir.path());
    }
    void init()
    {
        // Unique names: QSerialPort keeps lock files named after the device.
        const QString tag = QStringLiteral("%1-%2").arg(QCoreApplication::applicationPid()).arg(QTest::currentTestFunction());
        m_pair = new SocatPair(m_dir.filePath("drv-" + tag), m_dir.filePath("sim-" + tag));
        QVERIFY(m_pair->start());
        writeIni(30);
        m_frames.clear();
        openSimulator();
    }
    void cleanup()
    {
        delete m_sim;
        m_sim = nullptr;
        delete m_pair;
        m_pair = nullptr;
        QCOMPARE(QtWarningGuard::take(), QStringList());
    }

    void session_data()
    {
        QTest::addColumn<bool>("ash");
        QTest::newRow("ControllerBirch") << false;
        QTest::newRow("ControllerAsh") << true;
    }

    void session()
    {
        QFETCH(bool, ash);
        BirchPanelSim &sim = m_sim->sim();
        sim.setModel(ash ? BirchPanelSim::Ash : BirchPanelSim::Birch);
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
        const CEvent rec = sink.events.at(0);
        QCOMPARE(rec.strCode, ash ? QStringLiteral("05020007") : QStringLiteral("00200507"));
        QCOMPARE(int(rec.nCom), 7);
        QCOMPARE(rec.nPanelType, ash ? 20 : 22);
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

    void closeWhileWaiting()
    {
        ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
        QVERIFY(d.openController());
        d.start();
        // A command in flight: the panel stops answering, so the driver sits
        // in the first of three half-second reply waits.
        QTRY_VERIFY(d.isLastExchangeOk());
        m_sim->sim().setSilent(true);
        sendCommand(d, CmdSilence);
        QVERIFY(waitForFrame(QStringLiteral("command")));
        QElapsedTimer t;
        t.start();
        QVERIFY(d.closeController());
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!d.isRunning() && !d.isConnected());

        // Open again while the panel is silent: the driver waits in a poll read.
        QVERIFY(d.openController());
        d.start();
        m_frames.clear();
        QVERIFY(waitForFrame(QStringLiteral("poll")));
        t.restart();
        d.closeController();
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        // Deleting a running driver stops it as well.
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
        writeIni(2);
        ControllerBirch d(QStringLiteral("COM:COM7"), 1, 22);
        EventSink sink;
        sink.watch(&d);
        QVERIFY(d.openController());
        d.start();
        QTRY_VERIFY(d.isLastExchangeOk());
        const int descriptors = openDescriptors();
        // The pair vanishes, the simulator's end with it.
        delete m_sim;
        m_sim = nullptr;
        m_pair->kill();
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17, 1) == 1, 10000);
        QVERIFY(d.isConnected()); // still ours to close: it is reopening
        // The pair comes back under the same paths.
        QVERIFY(m_pair->start());
        openSimulator();
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17, 0) == 1, 15000);
        QTRY_VERIFY(d.isLastExchangeOk());
        // The panel's reports are heard again, and the lost device left no
        // descriptor behind.
        m_sim->sim().addReport(0x22, 1, 2, 3, 0x59);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 4) == 1, 10000);
        QCOMPARE(openDescriptors(), descriptors);
        QElapsedTimer t;
        t.start();
        d.closeController();
        QVERIFY(t.elapsed() < 1000);
    }

    void noisyLine()
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
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17, 1) >= 1, 10000);
        QCOMPARE(sink.events.first().nEventProperty, 1);
        // The noise stops: the panel is heard again.
        noise.stop();
        m_sim->sim().setGarbage(false);
        QTRY_VERIFY_WITH_TIMEOUT(count(sink, 17) >= 2 && sink.events.last().nEventProperty == 0, 10000);
        d.closeController();
    }
};

QTEST_GUILESS_MAIN(TestPanelIntegration)
#include "tst_panelintegration.moc"
