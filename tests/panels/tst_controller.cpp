// The driver base: communication counting in the real worker loop, the
// command queue, timed reads, the receive-buffer cap, the UDP link and
// stopping a worker that waits.

#include "common/eventsink.h"
#include "common/qtwarningguard.h"

#include "panels/controller.h"
#include "panels/fakelink.h"
#include "panels/udplink.h"

#include <QUdpSocket>
#include <QtTest>

#include <atomic>

namespace {

// Poll results come from a script (then 0, which the counting ignores); with
// waitInPoll a poll waits in a one-second read for a panel that never answers.
class ScriptModel : public Controller
{
public:
    using Controller::closePort;
    explicit ScriptModel(QList<Result> script = {}, const PanelModel *model = nullptr, int type = 22)
        : Controller("COM:COM4", 3, type, model), m_script(std::move(script))
    {
        setPassDelayMs(1);
    }
    ~ScriptModel() override { closePort(); }

    Result pollPanel() override
    {
        const int i = polls.fetch_add(1);
        QByteArray b;
        if (waitInPoll)
            return inRead.store(true), readPortData(b, 1, 100) ? Done : NoAnswer;
        if (i < m_script.size())
            return m_script.at(i);
        pauseMs(5);
        return NotDone;
    }
    Result sendControl89() override { return ++attempts89, result89; }
    Result sendControl94() override { return ++attempts94, Done; }
    bool openFake(FakeLink *f) { return setLink(f), openSerialPort(2400, QSerialPort::MarkParity); }
    bool read(QByteArray &out, int length, int ticks) { return readPortData(out, length, ticks); }
    int buffered() const { return recvBufferSize(); }
    bool udpOpen() { return connectUdpLink(); }

    std::atomic<int> polls{0}, attempts89{0}, attempts94{0};
    std::atomic<bool> inRead{false};
    bool waitInPoll = false;
    Result result89 = Done;

private:
    QList<Result> m_script;
};

bool add(Controller &c, int code)
{
    CEvent e;
    e.nEventCode = code;
    return c.addCommand(e);
}

} // namespace

class TestController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void communicationCounting_data()
    {
        QTest::addColumn<QList<int>>("script");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<QList<int>>("events"); // code * 10 + property
        QTest::addColumn<int>("failCount");
        QTest::newRow("no reset below the threshold") << QList<int>{101, 101, 100, 101, 100, 100} << 3 << QList<int>{1011, 1000} << 0;
        QTest::newRow("one fault, then counting anew") << QList<int>{101, 101, 101, 101, 101, 101, 100, 101} << 3
                                                       << QList<int>{1011, 1000} << 1;
        QTest::newRow("threshold 0 never faults") << QList<int>{101, 101, 100, 101, 100} << 0 << QList<int>{1000, 1000} << 0;
        QTest::newRow("model with code 17") << QList<int>{101, 100} << 1 << QList<int>{171, 170} << 0;
    }

    void communicationCounting()
    {
        QFETCH(QList<int>, script);
        QFETCH(int, threshold);
        QFETCH(QList<int>, events);
        QFETCH(int, failCount);
        static const PanelModel model17 = [] { PanelModel m; m.commEventCode = 17; return m; }();
        QList<Controller::Result> polls;
        for (int r : script)
            polls << Controller::Result(r);
        ScriptModel m(polls, events.first() / 10 == 17 ? &model17 : nullptr);
        m.setDisconnectTimes(threshold);
        EventSink sink;
        sink.watch(&m);
        QVERIFY(m.openFake(new FakeLink));
        m.start();
        QTRY_VERIFY_WITH_TIMEOUT(m.polls.load() > script.size(), 10000);
        m.closeController();
        QTRY_COMPARE(sink.events.size(), events.size());
        QList<int> got;
        for (const CEvent &e : qAsConst(sink.events)) {
            got << e.nEventCode * 10 + e.nEventProperty;
            QCOMPARE(QList<int>({e.nPanelID, e.nPanelType, e.strTime.size()}), QList<int>({3, 22, 19}));
        }
        QCOMPARE(got, events);
        QCOMPARE(m.failCount(), failCount);
    }

    void commandQueue()
    {
        ScriptModel m;
        QVERIFY(!add(m, CmdSilence)); // closed link
        QVERIFY(m.openFake(new FakeLink));
        QVERIFY(!add(m, CmdSilence)); // no good exchange yet
        m.setCommState(1);
        for (int code : {int(CmdSilence), int(CmdStart), int(CmdSyncTime), 0x8C, 0x42})
            QVERIFY(add(m, code));
        QCOMPARE(m.commandCount(), 3); // 0x8C and 0x42 accepted, not queued
        for (int i = 0; i < 200; ++i) // bounded: a flood does not grow it without end
            add(m, CmdSilence);
        QVERIFY(m.commandCount() <= 64);
        QVERIFY(add(m, CmdReset));
        QCOMPARE(m.commandCount(), 1); // a reset empties the queue first
        // A command the panel answers wrongly is tried three times, then
        // discarded; the reset ahead of it is accepted at once.
        m.result89 = Controller::WrongReply;
        QVERIFY(add(m, CmdSilence));
        m.start();
        QTRY_COMPARE(m.attempts89.load(), 3);
        QTRY_COMPARE(m.commandCount(), 0);
        QCOMPARE(m.attempts94.load(), 1);
        m.closePort();
        QVERIFY(!add(m, CmdSilence));
    }

    void timedReadsAndTheBufferCap()
    {
        ScriptModel m;
        FakeLink *f = new FakeLink;
        QVERIFY(m.openFake(f));
        f->inject("1234567");
        QTRY_COMPARE(m.buffered(), 7);
        QByteArray out;
        QVERIFY(m.read(out, 0, 5) && out == "1234567"); // length 0: whatever is there
        QCOMPARE(m.getCommState(), 1);
        QElapsedTimer t;
        t.start();
        QVERIFY(!m.read(out, 1, 5));
        QVERIFY2(t.elapsed() >= 50 && t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(m.getCommState(), 0);
        f->inject("ab"); // bytes arriving during the wait end it early
        t.restart();
        QVERIFY(m.read(out, 2, 100) && out == "ab");
        QVERIFY(t.elapsed() < 500);
        f->inject(QByteArray(100 * 1024, 'x') + "tail");
        f->inject("more");
        QTRY_COMPARE(m.buffered(), 64 * 1024);
        QVERIFY(m.read(out, 0, 1) && out.endsWith("tailmore")); // the newest bytes survive
        m.closePort();
    }

    void udpLinkKeepsTheLatestDatagramAndHearsAgainAfterReopen()
    {
        static const PanelModel udp = [] { PanelModel m; m.link = PanelModel::Udp; m.listening = true; return m; }();
        ScriptModel m({}, &udp, 240);
        auto *link = new UdpLink;
        link->setLocal(QHostAddress::LocalHost, 0);
        QVERIFY(link->open());
        const quint16 port = link->localPort();
        link->setLocal(QHostAddress::LocalHost, port);
        m.setLink(link);
        QVERIFY(m.udpOpen());
        QUdpSocket peer;
        peer.writeDatagram("first", QHostAddress::LocalHost, port);
        QTRY_COMPARE(m.buffered(), 5);
        peer.writeDatagram("second", QHostAddress::LocalHost, port);
        QTRY_COMPARE(m.buffered(), 6);
        QByteArray out;
        QVERIFY(m.read(out, 0, 1) && out == "second");
        // Closed and opened again (an edited controller): listening once more.
        m.closePort();
        QVERIFY(!m.isConnected());
        QVERIFY(m.udpOpen());
        peer.writeDatagram("again", QHostAddress::LocalHost, port);
        QTRY_COMPARE(m.buffered(), 5);
        m.closePort();
    }

    void closeWhileWaitingInARead()
    {
        ScriptModel m;
        m.waitInPoll = true;
        FakeLink *f = new FakeLink;
        QVERIFY(m.openFake(f));
        m.closePort(); // never started
        QVERIFY(!m.isConnected());
        for (int round = 0; round < 2; ++round) {
            m.inRead.store(false);
            QVERIFY(m.openFake(f));
            m.start();
            QTRY_VERIFY(m.inRead.load());
            QElapsedTimer t;
            t.start();
            m.closePort(); // inside the one-second read
            QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
            QVERIFY(!m.isRunning() && !f->isOpen());
            QCOMPARE(m.link()->thread(), QThread::currentThread()); // handed back
        }
        QVERIFY(m.openFake(f));
        m.start();
        m.closePort(); // before its first pass, perhaps before it ran at all
        QVERIFY(!m.isRunning());
        auto *refuses = new FakeLink;
        refuses->setOpenResult(false);
        QVERIFY(!m.openFake(refuses) && !m.isConnected());
    }
};

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
