// The Glen driver's exchanges against the simulator through the fake link:
// poll form after failures, record blocks as events, command replies.

#include "common/driverrig.h"
#include "common/qtwarningguard.h"

#include "panels/models/controllerglen.h"
#include "tools/sim/glenpanelsim.h"

#include <QtTest>

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
QDateTime fifthOfDecember() { return QDateTime(QDate(2024, 12, 5), QTime(21, 45, 33)); }

// A driver on a fake link answered by the simulator; everything runs in the
// test thread, so each call is one exchange.
struct Rig : DriverRig<ControllerGlen, GlenPanelSim> {
    explicit Rig(int type = 31) : DriverRig(QStringLiteral("COM:COM4"), 1, type) { d.setClock(fifthOfDecember); }
};

} // namespace

class TestGlenDriver : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void pollFormFollowsFailures()
    {
        Rig r;
        QVERIFY(r.ok);
        QCOMPARE(r.f->baudRate(), 57600);
        QCOMPARE(r.f->parity(), QSerialPort::NoParity);
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 11 000000 11 cbbca0a0 11 000000 11"));
        QCOMPARE(r.d.getCommState(), 1);

        // No closing byte: the cycle fails, and from then on polls carry 0x10.
        r.sim.addRaw(r.sim.header(0));
        QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
        QVERIFY(r.d.pollsAfterFailure());
        r.f->clearWrites();
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 10 000000 10"));

        // A header that announces a block of no bytes is a plain reply.
        r.sim.addRaw(hex("cbbca0a0 60 0000 00 77"));
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        // A block cut short fails the cycle, and so does silence.
        r.sim.addRaw(r.sim.header(28) + GlenPanelSim::record(2, hex("01020304050600"), fifthOfDecember()));
        QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
        r.sim.setSilent(true);
        QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
        QCOMPARE(r.d.getCommState(), 0);
        QVERIFY(r.events().isEmpty());
    }
    void recordBlocksBecomeEvents()
    {
        Rig r;
        const QDateTime when = fifthOfDecember();
        r.sim.addBlock({GlenPanelSim::record(0x02, hex("0a1b2c3d0e4500"), when),
                        GlenPanelSim::longRecord(7, 1, 2),
                        GlenPanelSim::record(0x14, hex("00010102000000"), when),
                        GlenPanelSim::record(0x0A, hex("01020304050600"), when)});
        QElapsedTimer t;
        t.start();
        QCOMPARE(r.d.pollPanel(), Controller::Done);
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
        QCOMPARE(r.sink.codes().mid(2, 3), (QList<int>{111, 112, 118}));
        QCOMPARE(ev.at(5).nEventCode, 121);
    }
    void commandsAndReplies()
    {
        Rig r;
        QCOMPARE(r.d.sendControl89(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 02 00 c1 00 01 00000000000000 e4"));
        r.f->clearWrites();
        QCOMPARE(r.d.sendControl94(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 30 00 04 00 c2 00 01 00000000000000 f7"));
        r.f->clearWrites();
        QCOMPARE(r.d.readValueSwitch(7, 2, 3, 4), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 06 09 c9 00 07 02030401000000 09"));
        // The clock frame gets no reply and needs none.
        r.f->clearWrites();
        QCOMPARE(r.d.syncTime(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("cbbca0a0 20 00 08 0a c0 00 01 20241205214533 e7"));
        r.f->clearWrites();
        QCOMPARE(r.d.setDeviceState(0x90, QStringLiteral("10203040506"), QString()), Controller::NotDone);
        QVERIFY(r.f->writtenData().isEmpty());

        // The counter wraps: 65535 gives 00 01 and leaves 1.
        r.d.setSequenceCounter(65535);
        r.f->clearWrites();
        QCOMPARE(r.d.sendControl89(), Controller::Done);
        QCOMPARE(r.f->writtenData().mid(5, 2), hex("0001"));
        QCOMPARE(r.d.sequenceCounter(), quint16(1));

        r.sim.setSilent(true);
        QCOMPARE(r.d.sendControl89(), Controller::NoReply);
        r.f->setFailWrites(true);
        QCOMPARE(r.d.sendControl89(), Controller::WriteFailed);
        QCOMPARE(r.d.syncTime(), Controller::NotDone);
    }
};

QTEST_GUILESS_MAIN(TestGlenDriver)
#include "tst_glendriver.moc"
