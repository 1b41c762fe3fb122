// The Glen driver: its exchanges against the simulator through the fake link
// (poll form after failures, record blocks as events, command replies), and a
// whole session in its own thread against the simulator over a socat pair at
// 57600 baud.

#include "eventsink.h"
#include "qtwarningguard.h"
#include "common/socatpair.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/fakelink.h"
#include "panels/models/controllerglen.h"
#include "panels/models/glenframes.h"
#include "tools/sim/glenpanelsim.h"

#include <QtTest>

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
QDateTime fifthOfDecember() { return QDateTime(QDate(2024, 12, 5), QTime(21, 45, 33)); }

// A driver on a fake link answered by the simulator; everything runs in the
// test thread, so each call is one exchange.
struct Rig {
    explicit Rig(int type = 31) : d(QStringLiteral("COM:COM4"), 1, type), f(new FakeLink)
    {
        f->setResponder([this](const QByteArray &bytes, QSerialPort::Parity) { return sim.feed(bytes); });
        d.setLink(f);
        d.setClock(fifthOfDecember);
        sink.watch(&d);
        ok = d.openController();
    }
    QList<CEvent> events()
    {
        QCoreApplication::processEvents();
        return sink.events;
    }
    ControllerGlen d;
    FakeLink *f;
    GlenPanelSim sim;
    EventSink sink;
    bool ok = false;
};

int countCode(const QList<CEvent> &events, int code)
{
    int n = 0;
    for (const CEvent &e : events)
        n += e.nEventCode == code;
    return n;
}

} // namespace

class TestGlenDriver : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void pollFormFollowsFailures();
    void recordBlocksBecomeEvents();
    void commandsAndReplies();
    void sessionOverSocatPair();
};

void TestGlenDriver::pollFormFollowsFailures()
{
    Rig r;
    QVERIFY(r.ok);
    QCOMPARE(r.f->baudRate(), 57600);
    QCOMPARE(r.f->parity(), QSerialPort::NoParity);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 11 000000 11 cbbca0a0 11 000000 11"));
    QCOMPARE(r.d.getCommState(), 1);

    // No closing byte: the cycle fails, and from then on polls carry 0x10.
    r.sim.addRaw(r.sim.header(0));
    QCOMPARE(r.d.pollPanel(), 101);
    QVERIFY(r.d.pollsAfterFailure());
    r.f->clearWrites();
    QCOMPARE(r.d.pollPanel(), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 10 000000 10"));

    // A header that announces a block of no bytes is a plain reply.
    r.sim.addRaw(hex("cbbca0a0 60 0000 00 77"));
    QCOMPARE(r.d.pollPanel(), 100);
    // A block cut short fails the cycle, and so does silence.
    r.sim.addRaw(r.sim.header(28) + GlenPanelSim::record(2, hex("01020304050600"), fifthOfDecember()));
    QCOMPARE(r.d.pollPanel(), 101);
    r.sim.setSilent(true);
    QCOMPARE(r.d.pollPanel(), 101);
    QCOMPARE(r.d.getCommState(), 0);
    QVERIFY(r.events().isEmpty());
}

void TestGlenDriver::recordBlocksBecomeEvents()
{
    Rig r;
    const QDateTime when = fifthOfDecember();
    r.sim.addBlock({GlenPanelSim::record(0x02, hex("0a1b2c3d0e4500"), when),
                    GlenPanelSim::longRecord(7, 1, 2),
                    GlenPanelSim::record(0x14, hex("00010102000000"), when),
                    GlenPanelSim::record(0x0A, hex("01020304050600"), when)});
    QElapsedTimer t;
    t.start();
    QCOMPARE(r.d.pollPanel(), 100);
    QVERIFY2(t.elapsed() >= 190, "no pause after the code-121 record");
    const QList<CEvent> ev = r.events();
    QCOMPARE(ev.size(), 6);
    QCOMPARE(ev.at(0).nEventCode, 7);
    QCOMPARE(ev.at(0).strCode, QStringLiteral("*1b2c3d0e45"));
    QCOMPARE(ev.at(0).strTime, QStringLiteral("2024-12-05 21:45:33"));
    QCOMPARE(int(ev.at(0).nCom), 4);
    QCOMPARE(ev.at(0).nPanelType, 31);
    QCOMPARE(ev.at(1).nEventCode, 6305);
    QCOMPARE(int(ev.at(1).nPanelID), 7);
    QCOMPARE(countCode(ev, 111) + countCode(ev, 112) + countCode(ev, 118), 3);
    QCOMPARE(ev.at(5).nEventCode, 121);
}

void TestGlenDriver::commandsAndReplies()
{
    Rig r;
    QCOMPARE(r.d.sendControl89(), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 02 00 c1 00 01 00000000000000 e4"));
    r.f->clearWrites();
    QCOMPARE(r.d.sendControl94(), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 30 00 04 00 c2 00 01 00000000000000 f7"));
    r.f->clearWrites();
    QCOMPARE(r.d.readValueSwitch(7, 2, 3, 4), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 06 09 c9 00 07 02030401000000 09"));
    // The clock frame gets no reply and needs none.
    r.f->clearWrites();
    QCOMPARE(r.d.syncTime(), 100);
    QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 08 0a c0 00 01 20241205214533 e7"));
    r.f->clearWrites();
    QCOMPARE(r.d.setDeviceState(0x90, QStringLiteral("10203040506"), QString()), 0);
    QVERIFY(r.f->writtenData().isEmpty());

    // The counter wraps: 65535 gives 00 01 and leaves 1.
    r.d.setSequenceCounter(65535);
    r.f->clearWrites();
    QCOMPARE(r.d.sendControl89(), 100);
    QCOMPARE(r.f->writtenData().mid(5, 2), hex("0001"));
    QCOMPARE(r.d.sequenceCounter(), quint16(1));

    r.sim.setSilent(true);
    QCOMPARE(r.d.sendControl89(), 2);
    r.f->setFailWrites(true);
    QCOMPARE(r.d.sendControl89(), 1);
    QCOMPARE(r.d.syncTime(), 1);
}

void TestGlenDriver::sessionOverSocatPair()
{
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QSKIP("socat is not installed");
    QTemporaryDir dir;
    AppPaths::setAppDir(dir.path());
    const QString tag = QString::number(QCoreApplication::applicationPid());
    SocatPair pair(dir.filePath(QStringLiteral("drv-") + tag), dir.filePath(QStringLiteral("sim-") + tag));
    QVERIFY(pair.start());
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[SerialPorts]\nCOM4=%1\n").arg(pair.a()).toUtf8());
    ini.close();
    ServerContext::instance().loadIni();

    GlenSimPort port;
    QVERIFY2(port.openDevice(pair.b(), 57600), qPrintable(port.errorText()));
    port.sim().playEveryKind();
    QStringList frames;
    connect(&port, &SimSerialPort::frameReceived, this, [&frames](const QString &f) { frames << f; });

    ControllerGlen d(QStringLiteral("COM:COM4"), 1, 31);
    EventSink sink;
    sink.watch(&d);
    QVERIFY(d.openController());
    d.start();
    // Kinds 1..0x1E less the five without a code and 0x13 with another byte
    // 4 (24), 0x14 as three (+2), and the special forms (1 + 2 + 3 + 1 + 7 + 1).
    QTRY_COMPARE_WITH_TIMEOUT(sink.events.size(), 24 + 2 + 15, 15000);
    QCOMPARE(countCode(sink.events, 2001), 1);
    QCOMPARE(countCode(sink.events, 125), 1);
    QCOMPARE(countCode(sink.events, 128), 1);
    QCOMPARE(countCode(sink.events, 5201), 1);
    QCOMPARE(countCode(sink.events, 3111), 1);
    QCOMPARE(countCode(sink.events, 6305), 1);
    QCOMPARE(countCode(sink.events, 101), 0);

    QTRY_VERIFY(d.isLastExchangeOk());
    CEvent silence;
    silence.nEventCode = CmdSilence;
    QVERIFY(d.addCommand(silence.toVariant()));
    QTRY_VERIFY(frames.contains(QStringLiteral("command cb bc a0 a0 20 00 02 00 c1 00 01 00 00 00 00 00 00 00 e4")));
    QVERIFY(frames.first().startsWith(QStringLiteral("poll cb bc a0 a0 11")));
    d.closeController();
    QVERIFY(!d.isRunning());
}

QTEST_GUILESS_MAIN(TestGlenDriver)
#include "tst_glendriver.moc"
