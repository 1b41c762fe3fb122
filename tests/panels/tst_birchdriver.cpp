// The Birch and Ash drivers against the fake link, with the panel simulator
// answering: every server frame byte by byte with the parity of each byte,
// the record query, reports and status frames as events, command replies and
// hostile frames.

#include "eventsink.h"
#include "qtwarningguard.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/fakelink.h"
#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "tools/sim/birchpanelsim.h"

#include <QtTest>

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// "M" mark, "S" space, "N" none: one letter per written byte.
QString parities(const FakeLink *f)
{
    QString s;
    for (const auto &b : f->writtenBytes())
        s += b.second == QSerialPort::MarkParity ? QLatin1Char('M')
           : b.second == QSerialPort::SpaceParity ? QLatin1Char('S') : QLatin1Char('N');
    return s;
}

QDateTime fifthOfDecember() { return QDateTime(QDate(2024, 12, 5), QTime(21, 45, 10)); }

// A driver on a fake link whose replies come from the simulator; everything
// runs in the test thread, so each call is one exchange.
template <class Driver>
struct Rig {
    explicit Rig(int id = 1, BirchPanelSim::Model model = BirchPanelSim::Birch)
        : d(QStringLiteral("COM:COM7"), id, model == BirchPanelSim::Birch ? 22 : 20),
          f(new FakeLink), sim(id, model)
    {
        f->setResponder([this](const QByteArray &bytes, QSerialPort::Parity) {
            return respond ? respond(bytes) : sim.feed(bytes);
        });
        d.setLink(f);
        d.setClock(fifthOfDecember);
        sink.watch(&d);
        ok = d.openController();
    }
    // Events are queued even in one thread; let them arrive.
    QList<CEvent> events()
    {
        QCoreApplication::processEvents();
        return sink.events;
    }

    Driver d;
    FakeLink *f;
    BirchPanelSim sim;
    EventSink sink;
    std::function<QByteArray(const QByteArray &)> respond;
    bool ok = false;
};

using BirchRig = Rig<ControllerBirch>;
using AshRig = Rig<ControllerAsh>;

} // namespace

class TestBirchDriver : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void birchOpensMark2400OnMappedDevice();
    void birchRecordRequestThenPlainPoll();
    void birchAddressFormsForId12();
    void birchRecordQuery();
    void birchReportsBecomeEvents();
    void birchCommandFramesByteExact_data();
    void birchCommandFramesByteExact();
    void birchCommandReplies();
    void birchResetEventsAndRecordRestart();
    void birchSequenceWraps();
    void birchHostileFrames_data();
    void birchHostileFrames();

    void ashFramesStayUnderMark();
    void ashIdleReplyEndsRecordQuery();
    void ashStatusFrames();
    void ashReports();
    void ashSplitSetTime();
    void ashSetTimeRejected();
};

void TestBirchDriver::birchOpensMark2400OnMappedDevice()
{
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[SerialPorts]\nCOM7=/tmp/some-pty-7\n");
    ini.close();
    const QString old = AppPaths::appDir();
    AppPaths::setAppDir(dir.path());
    ServerContext::instance().loadIni();
    BirchRig r;
    AppPaths::setAppDir(old);
    ServerContext::instance().loadIni();
    QVERIFY(r.ok);
    QCOMPARE(r.f->devicePath(), QStringLiteral("/tmp/some-pty-7"));
    QCOMPARE(r.f->baudRate(), 2400);
    QCOMPARE(r.f->parity(), QSerialPort::MarkParity);
    QVERIFY(r.d.isConnected());
}

void TestBirchDriver::birchRecordRequestThenPlainPoll()
{
    BirchRig r;
    QVERIFY(r.ok);
    QCOMPARE(r.d.pollPanel(), 100); // no records: the end frame
    QCOMPARE(r.f->writtenData(), hex("210701de010109"));
    QCOMPARE(parities(r.f), QStringLiteral("MSSSSSS"));
    QVERIFY(r.d.recordQueryDone());
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100); // idle
    QCOMPARE(r.f->writtenData(), hex("31"));
    QCOMPARE(parities(r.f), QStringLiteral("M"));
    QVERIFY(r.events().isEmpty());
    QCOMPARE(r.d.getCommState(), 1);
}

void TestBirchDriver::birchAddressFormsForId12()
{
    BirchRig r(12);
    r.sim.addReport(0x11, 1, 2, 0, 3);
    r.sim.addStatus(0x10);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("320701de0c0125"));
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100); // report, acknowledged with the plain form
    QCOMPARE(r.f->writtenData(), hex("42 5c"));
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 101); // status: the BCD form, and a failed cycle
    QCOMPARE(r.f->writtenData(), hex("42 62"));
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100); // idle 0x5c
    QCOMPARE(r.f->writtenData(), hex("42"));
    QCOMPARE(r.events().size(), 1);
}

void TestBirchDriver::birchRecordQuery()
{
    BirchRig r;
    r.sim.addRecord(0xDE, 5, 2, 0, 7);
    r.sim.addRecord(0xDE, 0, 0, 0, 0); // empty
    r.sim.addRecord(0x1B, 0x0A, 0x10, 0x00, 0xFF);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(r.d.pollPanel(), 100);
    const QByteArray sent = r.f->writtenData();
    // Requests 1..4; acknowledgements after the stored records only.
    QCOMPARE(sent, hex("210701de010109 51 210702de01020b 210703de01030d 51 210704de01040f"));
    QVERIFY(r.d.recordQueryDone());
    QCOMPARE(r.d.recordCounter(), 1);
    const QList<CEvent> ev = r.events();
    QCOMPARE(ev.size(), 2);
    QCOMPARE(ev.at(0).nEventCode, 8);
    QCOMPARE(ev.at(0).strCode, QStringLiteral("00200507"));
    QCOMPARE(ev.at(1).strCode, QStringLiteral("0*1000ff"));
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("31"));
}

void TestBirchDriver::birchReportsBecomeEvents()
{
    BirchRig r;
    QCOMPARE(r.d.pollPanel(), 100); // end of (no) records
    r.sim.addReport(0x15, 1, 2, 0, 0x30);
    r.sim.addReport(0x1B, 0x0A, 0x10, 0x00, 0xFF);
    r.sim.addReport(0x31, 0, 0, 0, 0);
    r.sim.addReport(0x77, 1, 2, 3, 4); // outside the table: no event, still acknowledged
    for (int i = 0; i < 4; ++i)
        QCOMPARE(r.d.pollPanel(), 100);
    r.f->clearWrites();
    const QList<CEvent> ev = r.events();
    QCOMPARE(ev.size(), 3);
    const CEvent &fire = ev.at(0);
    QCOMPARE(fire.nEventCode, 5);
    QCOMPARE(fire.strCode, QStringLiteral("00200148"));
    QCOMPARE(fire.nDevType, 0x30);
    QCOMPARE(int(fire.nCom), 7);
    QCOMPARE(int(fire.nPanelID), 1);
    QCOMPARE(fire.nPanelType, 22);
    QCOMPARE(fire.nEventType, 0);
    QCOMPARE(fire.nEventProperty, 0);
    QCOMPARE(fire.strTime.size(), 19);
    QCOMPARE(ev.at(1).strCode, QStringLiteral("0*1000ff"));
    QCOMPARE(ev.at(1).nEventCode, 8);
    QCOMPARE(ev.at(2).nEventCode, 1);
    QVERIFY(ev.at(2).strCode.isEmpty());
}

void TestBirchDriver::birchCommandFramesByteExact_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("silence") << int(CmdSilence) << QString() << hex("010a01aa700155555526");
    QTest::newRow("reset") << int(CmdReset) << QString() << hex("010a01aa04015555 55ba");
    QTest::newRow("set time") << int(CmdSyncTime) << QString() << hex("010a01aa081205214 53b");
    QTest::newRow("start") << int(CmdStart) << QStringLiteral("00001020304") << hex("010b01aa0201020304b679");
    QTest::newRow("wildcard pair") << int(CmdDisable) << QStringLiteral("000**020304")
                                   << hex("010b01aa0b00020304be89");
}

void TestBirchDriver::birchCommandFramesByteExact()
{
    QFETCH(int, command);
    QFETCH(QString, code);
    QFETCH(QByteArray, frame);
    BirchRig r;
    int result = 0;
    switch (command) {
    case CmdSilence: result = r.d.sendControl89(); break;
    case CmdReset: result = r.d.sendControl94(); break;
    case CmdSyncTime: result = r.d.syncTime(); break;
    default: result = r.d.setDeviceState(command, code, QString()); break;
    }
    QCOMPARE(result, 100);
    QCOMPARE(r.f->writtenData().toHex(' '), frame.toHex(' '));
    // The address byte under mark, the data bytes under space.
    QCOMPARE(parities(r.f), QStringLiteral("M") + QString(frame.size() - 1, QLatin1Char('S')));
    const QList<BirchPanelSim::Received> got = r.sim.takeReceived();
    QCOMPARE(got.size(), 1);
    QVERIFY(got.at(0).type == BirchPanelSim::Received::Command
            || got.at(0).type == BirchPanelSim::Received::DeviceState);
}

void TestBirchDriver::birchCommandReplies()
{
    {
        BirchRig r;
        r.sim.setAckForm(BirchPanelSim::LongAck);
        QCOMPARE(r.d.sendControl89(), 100);
    }
    {
        BirchRig r;
        r.respond = [](const QByteArray &b) { return b.size() > 1 ? hex("017001020375") : QByteArray(); };
        QCOMPARE(r.d.sendControl89(), 5); // long form, wrong sum
    }
    {
        BirchRig r;
        r.respond = [](const QByteArray &b) { return b.size() > 1 ? hex("44") : QByteArray(); };
        QCOMPARE(r.d.sendControl89(), 5);
    }
    {
        BirchRig r;
        r.respond = [](const QByteArray &b) { return b.size() > 1 ? hex("0170") : QByteArray(); };
        QCOMPARE(r.d.sendControl89(), 6); // long form cut short
    }
    {
        BirchRig r;
        r.sim.setSilent(true);
        QElapsedTimer t;
        t.start();
        QCOMPARE(r.d.sendControl89(), 6);
        QVERIFY2(t.elapsed() >= 450 && t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    }
    {
        BirchRig r;
        r.f->setFailWrites(true);
        QCOMPARE(r.d.sendControl89(), 4);
        QCOMPARE(r.d.pollPanel(), 101);
    }
}

void TestBirchDriver::birchResetEventsAndRecordRestart()
{
    BirchRig r;
    r.d.setRecordResumeDelayMs(50);
    QCOMPARE(r.d.pollPanel(), 100);
    QVERIFY(r.d.recordQueryDone());
    QCOMPARE(r.d.sendControl94(), 100);
    QList<CEvent> ev = r.events();
    QCOMPARE(ev.size(), 1);
    QCOMPARE(ev.at(0).nEventCode, 12);
    QCOMPARE(ev.at(0).strCode, QStringLiteral("00000000"));
    QCOMPARE(ev.at(0).strEndCode, QStringLiteral("00000000"));
    // Before the delay: a plain poll; after it: the records are asked for again.
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("31"));
    QTest::qWait(80);
    r.f->clearWrites();
    r.d.pollPanel();
    QCOMPARE(r.f->writtenData(), hex("210701de010109"));

    BirchRig lr;
    lr.sim.setAckForm(BirchPanelSim::LongAck);
    QCOMPARE(lr.d.sendControl94(), 100);
    QCOMPARE(lr.events().size(), 2); // the long reply confirms with a second event

    // A reset reported by the panel restarts the record counter as well.
    BirchRig pr;
    pr.d.setRecordResumeDelayMs(0);
    QCOMPARE(pr.d.pollPanel(), 100);
    pr.sim.addReport(0x04, 0, 0, 0, 0);
    QCOMPARE(pr.d.pollPanel(), 100);
    QCOMPARE(pr.events().last().nEventCode, 12);
    pr.f->clearWrites();
    pr.d.pollPanel();
    QCOMPARE(pr.f->writtenData().left(1), hex("21"));
}

void TestBirchDriver::birchSequenceWraps()
{
    BirchRig r;
    QCOMPARE(r.d.sequenceByte(), quint8(0));
    for (int i = 1; i <= 257; ++i) {
        r.f->clearWrites();
        QCOMPARE(r.d.sendControl89(), 100);
        const quint8 seq = quint8(r.f->writtenData().at(2));
        if (i == 1 || i == 255 || i == 256 || i == 257)
            QCOMPARE(int(seq), i % 256);
    }
}

void TestBirchDriver::birchHostileFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("length 0") << hex("1100");
    QTest::newRow("length 1") << hex("1101");
    QTest::newRow("length 2") << hex("1102");
    QTest::newRow("length 3, body cut") << hex("1103");
    QTest::newRow("length 255, body cut") << hex("11ff00aa15");
    QTest::newRow("kind outside the table") << hex("1105007700");
    QTest::newRow("wrong address") << hex("99");
    QTest::newRow("length byte missing") << hex("11");
}

void TestBirchDriver::birchHostileFrames()
{
    QFETCH(QByteArray, frame);
    BirchRig r;
    QCOMPARE(r.d.pollPanel(), 100);
    r.sim.addScriptFrame(frame);
    r.sim.addReport(0x21, 1, 2, 3, 4);
    QCOMPARE(r.d.pollPanel(), 101);
    QVERIFY(r.events().isEmpty());
    // The next cycle starts clean and decodes the next report.
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.events().size(), 1);
    QCOMPARE(r.events().at(0).nEventCode, 6);
}

void TestBirchDriver::ashFramesStayUnderMark()
{
    AshRig r(1, BirchPanelSim::Ash);
    QVERIFY(r.ok);
    QElapsedTimer t;
    t.start();
    QCOMPARE(r.d.pollPanel(), 100);
    // Seven bytes 10 ms apart, then 100 ms before the reply is read.
    QVERIFY2(t.elapsed() >= 150, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(r.f->writtenData(), hex("210701de010109"));
    QCOMPARE(parities(r.f), QStringLiteral("MMMMMMM"));
    QCOMPARE(r.f->writes().size(), 7); // one write per byte
    r.f->clearWrites();
    QCOMPARE(r.d.setDeviceState(CmdStart, QStringLiteral("01020304"), QString()), 100);
    QCOMPARE(r.f->writtenData(), hex("010b01aa0201020304b679"));
    QCOMPARE(parities(r.f), QString(11, QLatin1Char('M')));
    r.f->clearWrites();
    QCOMPARE(r.d.sendControl89(), 100);
    QCOMPARE(r.f->writtenData(), hex("010a02aa700155555527"));
    r.f->clearWrites();
    QCOMPARE(r.d.sendControl94(), 100);
    QCOMPARE(r.f->writtenData(), hex("010a03aa0401555555bc"));
    QVERIFY(r.events().isEmpty()); // Ash's reset raises no events of its own
}

void TestBirchDriver::ashIdleReplyEndsRecordQuery()
{
    AshRig r(1, BirchPanelSim::Ash);
    r.respond = [](const QByteArray &) { return hex("51"); };
    QCOMPARE(r.d.pollPanel(), 100);
    QVERIFY(r.d.recordQueryDone());
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("31"));
}

void TestBirchDriver::ashStatusFrames()
{
    AshRig r(1, BirchPanelSim::Ash);
    QCOMPARE(r.d.pollPanel(), 100);
    r.sim.addStatus(0x10);
    r.sim.addStatus(0x00);
    r.sim.addStatus(0x00);
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100); // a status frame is a good cycle here
    QCOMPARE(r.f->writtenData(), hex("31 51"));
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.d.pollPanel(), 100);
    QList<int> codes;
    QList<int> props;
    for (const CEvent &e : r.events()) {
        codes << e.nEventCode;
        props << e.nEventProperty;
        QCOMPARE(e.nPanelType, 20);
    }
    QCOMPARE(codes, (QList<int>{114, 115, 118, 125, 114, 115, 118, 126, 114, 115, 118}));
    QCOMPARE(props.at(3), 1);
    QCOMPARE(props.at(7), 0);
    QCOMPARE(r.events().at(3).strCode, QStringLiteral("00000197"));
}

void TestBirchDriver::ashReports()
{
    AshRig r(1, BirchPanelSim::Ash);
    r.sim.addRecord(0xDE, 0x12, 0x34, 0x56, 78);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.d.pollPanel(), 100); // end of records
    r.sim.addReport(0x22, 1, 2, 3, 0x59);
    r.sim.addReport(0x22, 1, 2, 3, 0x40);
    r.sim.addReport(0x04, 0, 0, 0, 0);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.d.pollPanel(), 100);
    const QList<CEvent> ev = r.events();
    QCOMPARE(ev.size(), 4);
    QCOMPARE(ev.at(0).nEventCode, 8);
    QCOMPARE(ev.at(0).strCode, QStringLiteral("12345678"));
    QCOMPARE(ev.at(1).nEventCode, 7);
    QCOMPARE(ev.at(1).strCode, QStringLiteral("01020389"));
    QCOMPARE(ev.at(2).nEventCode, 6);
    QCOMPARE(ev.at(3).nEventCode, 121);
    // The panel's reset starts the record query again at once.
    QVERIFY(!r.d.recordQueryDone());
    QCOMPARE(r.d.recordCounter(), 1);
}

void TestBirchDriver::ashSplitSetTime()
{
    AshRig r(1, BirchPanelSim::Ash);
    QCOMPARE(r.d.syncTime(), 100);
    QCOMPARE(r.f->writtenData(), hex("01 0a01aa0812052145 3b"));
    QCOMPARE(parities(r.f), QStringLiteral("MSSSSSSSSS"));
    QCOMPARE(r.f->parity(), QSerialPort::SpaceParity); // until the next poll
    r.f->clearWrites();
    r.d.pollPanel();
    QCOMPARE(parities(r.f).left(1), QStringLiteral("M"));

    // Address-byte form for a two-digit number.
    AshRig r12(12, BirchPanelSim::Ash);
    QCOMPARE(r12.d.syncTime(), 100);
    QCOMPARE(r12.f->writtenData(), hex("0c 0a01aa0812052145 46"));
}

void TestBirchDriver::ashSetTimeRejected()
{
    AshRig silent(1, BirchPanelSim::Ash);
    silent.sim.setSilent(true);
    QCOMPARE(silent.d.syncTime(), 101);
    AshRig wrong(1, BirchPanelSim::Ash);
    wrong.respond = [](const QByteArray &b) { return b.size() == 1 && b.at(0) == char(0x3b) ? hex("017001020300") : QByteArray(); };
    QCOMPARE(wrong.d.syncTime(), 101);
    AshRig broken(1, BirchPanelSim::Ash);
    broken.f->setFailWrites(true);
    QCOMPARE(broken.d.syncTime(), 4);
}

QTEST_GUILESS_MAIN(TestBirchDriver)
#include "tst_birchdriver.moc"
