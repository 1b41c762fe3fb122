// The driver base: communication counting in the real worker loop, the
// command queue, timed reads, the receive-buffer cap, the UDP buffer rule and
// stopping a worker that waits.

#include "eventsink.h"
#include "qtwarningguard.h"

#include "panels/controller.h"
#include "panels/fakelink.h"
#include "panels/udplink.h"

#include <QElapsedTimer>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>

namespace {

// Models as the registry would describe them.
const PanelModel &code17Model()
{
    static const PanelModel m = [] { PanelModel m; m.commEventCode = 17; return m; }();
    return m;
}

const PanelModel &udpModel()
{
    static const PanelModel m = [] { PanelModel m; m.link = PanelModel::Udp; m.listening = true; return m; }();
    return m;
}

// A model whose poll results come from a script; afterwards it answers
// neither ok nor failed, which the counting ignores.
class ScriptModel : public Controller
{
public:
    using Controller::closePort;
    explicit ScriptModel(QList<int> script, const PanelModel *model = nullptr, int type = 22)
        : Controller(QStringLiteral("COM:COM4"), 3, type, model), m_script(std::move(script))
    {
        setPassDelayMs(1);
    }
    ~ScriptModel() override { closePort(); }

    int pollPanel() override
    {
        const int i = polls.fetch_add(1);
        if (i < m_script.size())
            return m_script.at(i);
        pauseMs(5);
        return 0;
    }
    int sendControl89() override
    {
        ++attempts89;
        return result89;
    }
    int sendControl94() override
    {
        ++attempts94;
        return 100;
    }

    bool openFake(FakeLink *f)
    {
        setLink(f);
        return openSerialPort(2400, QSerialPort::MarkParity);
    }
    bool closeController() override
    {
        closePort();
        return true;
    }
    bool read(QByteArray &out, int length, int ticks) { return readPortData(out, length, ticks); }
    int buffered() const { return recvBufferSize(); }
    bool udpOpen() { return connectUdpLink(); }

    std::atomic<int> polls{0};
    std::atomic<int> attempts89{0};
    std::atomic<int> attempts94{0};
    int result89 = 100;

private:
    QList<int> m_script;
};

// A model that keeps the base's pollPanel.
class NoPollModel : public Controller
{
public:
    using Controller::closePort;
    NoPollModel() : Controller(QStringLiteral("COM:COM4"), 4, 22) { setPassDelayMs(1); }
    ~NoPollModel() override { closePort(); }
    bool openFake(FakeLink *f)
    {
        setLink(f);
        return openSerialPort(2400, QSerialPort::MarkParity);
    }
};

// A model that waits for a panel that never answers.
class SilentModel : public Controller
{
public:
    using Controller::closePort;
    SilentModel() : Controller(QStringLiteral("COM:COM4"), 5, 22) {}
    ~SilentModel() override { closePort(); }
    int pollPanel() override
    {
        QByteArray b;
        inRead.store(true);
        return readPortData(b, 1, 100) ? 100 : 101;
    }
    bool openFake(FakeLink *f)
    {
        setLink(f);
        return openSerialPort(2400, QSerialPort::MarkParity);
    }
    std::atomic<bool> inRead{false};
};

CEvent command(int code)
{
    CEvent e;
    e.nEventCode = code;
    return e;
}

} // namespace

class TestController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void countingDoesNotResetBelowThreshold();
    void countingPastThresholdEmitsOnce();
    void thresholdZeroNeverFaults();
    void modelWithCode17UsesItForBoth();
    void modelWithoutPollNeverCounts();
    void constructorSplitsLinkText();
    void addCommandRules();
    void commandTriedThreeTimes();
    void readPortDataLengthZeroAndTimeout();
    void receiveBufferIsCapped();
    void udpBufferHoldsLatestNotification();
    void udpLinkHearsAgainAfterReopen();
    void closeWhileWaitingInRead();
    void closeBeforeStartAndReopen();
};

static void runUntilPolled(ScriptModel &m, int polls)
{
    QVERIFY(m.openFake(new FakeLink));
    m.start();
    QTRY_VERIFY_WITH_TIMEOUT(m.polls.load() >= polls, 10000);
    m.closeController();
}

void TestController::countingDoesNotResetBelowThreshold()
{
    ScriptModel m({101, 101, 100, 101, 100, 100});
    m.setDisconnectTimes(3);
    EventSink sink;
    sink.watch(&m);
    runUntilPolled(m, 7);
    QTRY_COMPARE(sink.events.size(), 2);
    QCOMPARE(sink.codes(), (QList<int>{101, 100}));
    const CEvent fault = sink.events.at(0);
    QCOMPARE(int(fault.nPanelID), 3);
    QCOMPARE(fault.nPanelType, 22);
    QCOMPARE(fault.nEventProperty, 1);
    QCOMPARE(fault.strTime.size(), 19);
    QVERIFY(fault.strCode.isEmpty());
    QCOMPARE(sink.events.at(1).nEventProperty, 0);
    QCOMPARE(m.failCount(), 0);
}

void TestController::countingPastThresholdEmitsOnce()
{
    ScriptModel m({101, 101, 101, 101, 101, 101, 100, 101});
    m.setDisconnectTimes(3);
    EventSink sink;
    sink.watch(&m);
    runUntilPolled(m, 9);
    QTRY_COMPARE(sink.events.size(), 2);
    QCOMPARE(sink.codes(), (QList<int>{101, 100}));
    QCOMPARE(m.failCount(), 1); // counting starts again after the restore
}

void TestController::thresholdZeroNeverFaults()
{
    ScriptModel m({101, 101, 100, 101, 100});
    m.setDisconnectTimes(0);
    EventSink sink;
    sink.watch(&m);
    runUntilPolled(m, 6);
    QTRY_COMPARE(sink.events.size(), 2);
    QCOMPARE(sink.codes(), (QList<int>{100, 100}));
}

void TestController::modelWithCode17UsesItForBoth()
{
    ScriptModel m({101, 100}, &code17Model());
    m.setDisconnectTimes(1);
    EventSink sink;
    sink.watch(&m);
    runUntilPolled(m, 3);
    QTRY_COMPARE(sink.events.size(), 2);
    QCOMPARE(sink.codes(), (QList<int>{17, 17}));
    QCOMPARE(sink.events.at(0).nEventProperty, 1);
    QCOMPARE(sink.events.at(1).nEventProperty, 0);
}

void TestController::modelWithoutPollNeverCounts()
{
    NoPollModel quiet;
    quiet.setDisconnectTimes(30);
    EventSink quietSink;
    quietSink.watch(&quiet);
    QVERIFY(quiet.openFake(new FakeLink));
    quiet.start();
    QTest::qWait(100);
    QVERIFY(quiet.isRunning());
    quiet.closePort();
    QCoreApplication::processEvents();
    QCOMPARE(quietSink.events.size(), 0);
}

void TestController::constructorSplitsLinkText()
{
    Controller c(QStringLiteral("COM:COM3"), 9, 20);
    QCOMPARE(c.m_strPortName, QStringLiteral("COM3"));
    QCOMPARE(c.m_nControllerID, 9);
    QCOMPARE(c.m_nControllerType, 20);
    QCOMPARE(c.getCommState(), -1);
    QCOMPARE(c.getTimeOutCount(), 10);
    QVERIFY(!c.isConnected()); // no link
    Controller net(QStringLiteral("127.0.0.1:9002"), 2, 240);
    QCOMPARE(net.m_strPortName, QStringLiteral("9002"));
    QVERIFY(!net.isConnected());
}

void TestController::addCommandRules()
{
    ScriptModel m({});
    // Closed link: refused.
    QVERIFY(!m.addCommand(command(CmdSilence).toVariant()));
    QVERIFY(m.openFake(new FakeLink));
    // Open, but no exchange has succeeded yet.
    QVERIFY(!m.addCommand(command(CmdSilence).toVariant()));
    m.setCommState(0);
    QVERIFY(!m.addCommand(command(CmdSilence).toVariant()));
    m.setCommState(1);
    QVERIFY(m.addCommand(command(CmdSilence).toVariant()));
    QVERIFY(m.addCommand(command(CmdStart).toVariant()));
    QVERIFY(m.addCommand(command(CmdSyncTime).toVariant()));
    QCOMPARE(m.commandCount(), 3);
    QVERIFY(m.addCommand(command(0x8C).toVariant())); // accepted, not queued
    QVERIFY(m.addCommand(command(0x42).toVariant()));
    QCOMPARE(m.commandCount(), 3);
    QVERIFY(m.addCommand(command(CmdReset).toVariant()));
    QCOMPARE(m.commandCount(), 1);
    // A bounded queue: a flood of commands does not grow it without end.
    for (int i = 0; i < 200; ++i)
        m.addCommand(command(CmdSilence).toVariant());
    QVERIFY(m.commandCount() <= 64);
    m.closePort();
    QVERIFY(!m.addCommand(command(CmdSilence).toVariant()));
}

void TestController::commandTriedThreeTimes()
{
    ScriptModel failing({});
    failing.result89 = 5;
    QVERIFY(failing.openFake(new FakeLink));
    failing.setCommState(1);
    QVERIFY(failing.addCommand(command(CmdSilence).toVariant()));
    QVERIFY(failing.addCommand(command(CmdReset).toVariant())); // reset empties the queue
    QVERIFY(failing.addCommand(command(CmdSilence).toVariant()));
    failing.start();
    QTRY_COMPARE(failing.attempts89.load(), 3);
    QTRY_COMPARE(failing.commandCount(), 0);
    QCOMPARE(failing.attempts94.load(), 1); // accepted at once
    QTest::qWait(50);
    QCOMPARE(failing.attempts89.load(), 3); // discarded after the attempts
    failing.closePort();

    ScriptModel good({});
    QVERIFY(good.openFake(new FakeLink));
    good.setCommState(1);
    QVERIFY(good.addCommand(command(CmdSilence).toVariant()));
    good.start();
    QTRY_COMPARE(good.attempts89.load(), 1);
    QTest::qWait(50);
    QCOMPARE(good.attempts89.load(), 1);
    good.closePort();
}

void TestController::readPortDataLengthZeroAndTimeout()
{
    ScriptModel m({});
    FakeLink *f = new FakeLink;
    QVERIFY(m.openFake(f));
    f->inject(QByteArrayLiteral("1234567"));
    QTRY_COMPARE(m.buffered(), 7);
    QByteArray out;
    QVERIFY(m.read(out, 0, 5));
    QCOMPARE(out, QByteArrayLiteral("1234567"));
    QCOMPARE(m.getCommState(), 1);

    QElapsedTimer t;
    t.start();
    QVERIFY(!m.read(out, 1, 5));
    QVERIFY2(t.elapsed() >= 50 && t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(m.getCommState(), 0);

    // Bytes that arrive during the wait end it early.
    f->inject(QByteArrayLiteral("ab"));
    t.restart();
    QVERIFY(m.read(out, 2, 100));
    QCOMPARE(out, QByteArrayLiteral("ab"));
    QVERIFY(t.elapsed() < 500);
    m.closePort();
}

void TestController::receiveBufferIsCapped()
{
    ScriptModel m({});
    FakeLink *f = new FakeLink;
    QVERIFY(m.openFake(f));
    QByteArray flood(100 * 1024, 'x');
    flood.append("tail");
    f->inject(flood);
    f->inject(QByteArrayLiteral("more"));
    QTRY_VERIFY(m.buffered() == 64 * 1024);
    QByteArray out;
    QVERIFY(m.read(out, 0, 1));
    QCOMPARE(out.size(), 64 * 1024);
    QVERIFY(out.endsWith("tailmore")); // the newest bytes survive
    m.closePort();
}

void TestController::udpBufferHoldsLatestNotification()
{
    ScriptModel m({}, &udpModel(), 240);
    UdpLink *link = new UdpLink;
    link->setLocal(QHostAddress::LocalHost, 0);
    QVERIFY(link->open());
    const quint16 port = link->localPort();
    m.setLink(link);
    QVERIFY(m.udpOpen());
    QVERIFY(m.isConnected());
    QUdpSocket peer;
    peer.writeDatagram(QByteArrayLiteral("first"), QHostAddress::LocalHost, port);
    QTRY_COMPARE(m.buffered(), 5);
    peer.writeDatagram(QByteArrayLiteral("second"), QHostAddress::LocalHost, port);
    QTRY_COMPARE(m.buffered(), 6);
    QByteArray out;
    QVERIFY(m.read(out, 0, 1));
    QCOMPARE(out, QByteArrayLiteral("second"));
    m.closePort();
}

void TestController::udpLinkHearsAgainAfterReopen()
{
    // The panel manager closes a network driver and opens it again (an edited
    // controller): the socket must be listening on its port once more.
    ScriptModel m({}, &udpModel(), 240);
    UdpLink *link = new UdpLink;
    link->setLocal(QHostAddress::LocalHost, 0);
    QVERIFY(link->open());
    const quint16 port = link->localPort();
    link->setLocal(QHostAddress::LocalHost, port);
    m.setLink(link);
    QVERIFY(m.udpOpen());
    m.closePort();
    QVERIFY(!m.isConnected());
    QVERIFY(m.udpOpen());
    QUdpSocket peer;
    peer.writeDatagram(QByteArrayLiteral("again"), QHostAddress::LocalHost, port);
    QTRY_COMPARE(m.buffered(), 5);
    m.closePort();
}

void TestController::closeWhileWaitingInRead()
{
    SilentModel m;
    FakeLink *f = new FakeLink;
    QVERIFY(m.openFake(f));
    m.start();
    QTRY_VERIFY(m.inRead.load());
    QTest::qWait(100); // well inside the one-second read
    QElapsedTimer t;
    t.start();
    m.closePort();
    QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!m.isRunning());
    QVERIFY(!m.isConnected());
    QCOMPARE(m.link()->thread(), QThread::currentThread()); // handed back
    QVERIFY(!f->isOpen());
    // And it can be opened and started again.
    m.inRead.store(false);
    QVERIFY(m.openFake(f));
    m.start();
    QTRY_VERIFY(m.inRead.load());
    m.closePort();
    QVERIFY(!m.isRunning());
}

void TestController::closeBeforeStartAndReopen()
{
    ScriptModel m({100});
    FakeLink *f = new FakeLink;
    QVERIFY(m.openFake(f));
    QVERIFY(m.isConnected());
    m.closePort(); // never started
    QVERIFY(!m.isConnected());
    QVERIFY(m.openFake(f));
    m.start();
    m.closePort(); // stopped before its first pass, perhaps before it ran at all
    QVERIFY(!m.isRunning());
    QCOMPARE(m.link()->thread(), QThread::currentThread());
    FakeLink *refuses = new FakeLink;
    refuses->setOpenResult(false);
    QVERIFY(!m.openFake(refuses));
    QVERIFY(!m.isConnected());
}

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
