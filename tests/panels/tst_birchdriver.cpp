// The Birch and Ash drivers against the fake link, with the panel simulator
// answering: every server frame byte by byte with the parity of each byte,
// the record query, reports and status frames as events, command replies and
// hostile frames.

#include "common/driverrig.h"
#include "common/qtwarningguard.h"

#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "tools/sim/birchpanelsim.h"

#include <QtTest>

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// The rig with Birch's helpers: one poll cycle, and the parity of each byte.
template <class Driver, bool ash = std::is_same<Driver, ControllerAsh>::value>
struct Rig : DriverRig<Driver, BirchPanelSim> {
    explicit Rig(int id = 1) : DriverRig<Driver, BirchPanelSim>(QStringLiteral("COM:COM7"), id, ash ? 20 : 22, id) {}
    // One poll cycle: what the driver wrote; the result is kept in `last`.
    QByteArray poll()
    {
        this->f->clearWrites();
        last = this->d.pollPanel();
        return this->f->writtenData();
    }
    // "M" mark, "S" space: one letter per written byte.
    QString parities() const
    {
        QString s;
        for (const auto &b : this->f->writtenBytes())
            s += b.second == QSerialPort::MarkParity ? 'M' : b.second == QSerialPort::SpaceParity ? 'S' : 'N';
        return s;
    }
    int last = 0;
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

    void birchRecordQueryThenPlainPolls()
    {
        BirchRig r;
        QCOMPARE(r.f->baudRate(), 2400);
        QCOMPARE(r.f->parity(), QSerialPort::MarkParity);
        r.sim.addRecord(0xDE, 5, 2, 0, 7);
        r.sim.addRecord(0xDE, 0, 0, 0, 0); // empty: no event, no acknowledgement
        r.sim.addRecord(0x1B, 0x0A, 0x10, 0x00, 0xFF);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(r.d.pollPanel(), Controller::Done);
        // Requests 1..4, the address under mark; acknowledgements after stored records.
        QCOMPARE(r.f->writtenData(), hex("210701de010109 51 210702de01020b 210703de01030d 51 210704de01040f"));
        QCOMPARE(r.parities(), QStringLiteral("MSSSSSSMMSSSSSSMSSSSSSMMSSSSSS"));
        QVERIFY(r.d.recordQueryDone());
        QCOMPARE(r.d.recordCounter(), 1);
        QCOMPARE(r.events().size(), 2);
        QCOMPARE(r.events().at(0).nEventCode, 8);
        QCOMPARE(r.events().at(0).strCode + r.events().at(1).strCode, QStringLiteral("002005070*1000ff"));
        QCOMPARE(r.poll(), hex("31"));
        QCOMPARE(r.parities() + QString::number(r.d.getCommState()), QStringLiteral("M1"));
    }

    void birchAddressFormsForId12()
    {
        BirchRig r(12);
        r.sim.addReport(0x11, 1, 2, 0, 3);
        r.sim.addStatus(0x10);
        QCOMPARE(r.poll(), hex("320701de0c0125"));
        QCOMPARE(r.poll(), hex("42 5c")); // report, acknowledged with the plain form
        QCOMPARE(r.poll(), hex("42 62")); // status: the BCD form, and a failed cycle
        QCOMPARE(r.last, 101);
        QCOMPARE(r.poll(), hex("42"));    // idle 0x5c
        QCOMPARE(r.last, 100);
    }

    void birchReportsBecomeEvents()
    {
        BirchRig r;
        r.d.pollPanel(); // end of (no) records
        r.sim.addReport(0x15, 1, 2, 0, 0x30);
        r.sim.addReport(0x31, 0, 0, 0, 0);
        r.sim.addReport(0x77, 1, 2, 3, 4); // outside the table: no event, still acknowledged
        for (int i = 0; i < 3; ++i)
            QCOMPARE(r.poll(), hex("3151"));
        QCOMPARE(r.events().size(), 2);
        const CEvent fire = r.events().at(0);
        QCOMPARE(QList<int>({fire.nEventCode, fire.nDevType, fire.nCom, fire.nPanelID, fire.nPanelType, fire.strTime.size()}),
                 QList<int>({5, 0x30, 7, 1, 22, 19}));
        QCOMPARE(fire.strCode, QStringLiteral("00200148"));
        QCOMPARE(r.events().at(1).nEventCode, 1);
        QVERIFY(r.events().at(1).strCode.isEmpty());
    }

    void commandFramesByteExact_data()
    {
        QTest::addColumn<bool>("ash");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("parity");
        const QString split = "MSSSSSSSSSSS";
        const QString mark = "MMMMMMMMMMMM"; // Ash sends everything under mark, but for the set-time split
        QTest::newRow("silence") << false << int(CmdSilence) << QString() << hex("010a01aa700155555526") << split;
        QTest::newRow("reset") << false << int(CmdReset) << QString() << hex("010a01aa0401555555ba") << split;
        QTest::newRow("set time") << false << int(CmdSyncTime) << QString() << hex("010a01aa08120521453b") << split;
        QTest::newRow("start") << false << int(CmdStart) << "00001020304" << hex("010b01aa0201020304b679") << split;
        QTest::newRow("wildcard pair") << false << int(CmdDisable) << "000**020304" << hex("010b01aa0b00020304be89") << split;
        QTest::newRow("ash silence") << true << int(CmdSilence) << QString() << hex("010a01aa700155555526") << mark;
        QTest::newRow("ash reset") << true << int(CmdReset) << QString() << hex("010a01aa0401555555ba") << mark;
        QTest::newRow("ash start") << true << int(CmdStart) << "01020304" << hex("010b01aa0201020304b679") << mark;
        QTest::newRow("ash set time") << true << int(CmdSyncTime) << QString() << hex("01 0a01aa0812052145 3b") << split;
    }

    void commandFramesByteExact()
    {
        QFETCH(bool, ash);
        QFETCH(int, command);
        QFETCH(QString, code);
        QFETCH(QByteArray, frame);
        QFETCH(QString, parity);
        BirchRig b;
        AshRig a;
        Controller &d = ash ? static_cast<Controller &>(a.d) : b.d;
        const int result = command == CmdSilence ? d.sendControl89()
                         : command == CmdReset   ? d.sendControl94()
                         : command == CmdSyncTime ? d.syncTime()
                                                  : d.setDeviceState(command, code, QString());
        QCOMPARE(result, 100);
        QCOMPARE((ash ? a.f : b.f)->writtenData().toHex(' '), frame.toHex(' '));
        QCOMPARE(ash ? a.parities() : b.parities(), parity.left(frame.size()));
        // Birch's reset tells the clients at once; Ash's raises nothing.
        QCOMPARE((ash ? a.events() : b.events()).size(), !ash && command == CmdReset ? 1 : 0);
    }

    void birchCommandReplies()
    {
        const auto reply = [](const QByteArray &answer) {
            BirchRig r;
            r.respond = [answer](const QByteArray &b) { return b.size() > 1 ? answer : QByteArray(); };
            return r.d.sendControl89();
        };
        // Long form good and bad sum, another byte, long form cut short.
        QCOMPARE(QList<int>({reply(hex("017001020377")), reply(hex("017001020375")), reply(hex("44")), reply(hex("0170"))}),
                 QList<int>({100, 5, 5, 6}));
        BirchRig silent;
        silent.sim.setSilent(true);
        QElapsedTimer t;
        t.start();
        QCOMPARE(silent.d.sendControl89(), Controller::NoReply);
        QVERIFY2(t.elapsed() >= 450 && t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        BirchRig broken;
        broken.f->setFailWrites(true);
        QCOMPARE(broken.d.sendControl89() * 1000 + broken.d.pollPanel(), 4101); // a dead port fails
    }

    void birchResetRestartsTheRecordQuery()
    {
        BirchRig r;
        r.d.setRecordResumeDelayMs(50);
        r.d.pollPanel();
        QVERIFY(r.d.recordQueryDone());
        QCOMPARE(r.d.sendControl94(), Controller::Done);
        const CEvent e = r.events().value(0);
        QCOMPARE(QString::number(e.nEventCode) + e.strCode + e.strEndCode, QStringLiteral("120000000000000000"));
        // Plain polls until the delay has passed, then the records again.
        QCOMPARE(r.poll(), hex("31"));
        QVERIFY(QTest::qWaitFor([&r] { return r.poll().startsWith(hex("21")); }));
        BirchRig lr; // the long reply confirms with a second event
        lr.sim.setAckForm(BirchPanelSim::LongAck);
        QCOMPARE(lr.d.sendControl94(), Controller::Done);
        QCOMPARE(lr.events().size(), 2);
        // A reset reported by the panel restarts the record counter as well.
        BirchRig pr;
        pr.d.setRecordResumeDelayMs(0);
        pr.d.pollPanel();
        pr.sim.addReport(0x04, 0, 0, 0, 0);
        pr.d.pollPanel();
        QCOMPARE(pr.events().last().nEventCode, 12);
        QCOMPARE(pr.poll(), hex("210701de010109"));
    }

    void birchSequenceWraps()
    {
        BirchRig r;
        QList<int> seen;
        for (int i = 1; i <= 257; ++i) {
            r.f->clearWrites();
            r.d.sendControl89();
            if (i == 1 || i >= 255)
                seen << quint8(r.f->writtenData().at(2));
        }
        QCOMPARE(seen, (QList<int>{1, 255, 0, 1}));
    }

    void birchHostileFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        for (const char *f : {"1100", "1102", "1103", "11ff00aa15", "1105007700", "99", "11"})
            QTest::newRow(f) << hex(f); // lengths 0, 2, 3 and 255 cut short, unknown kind, wrong address, no length
    }

    void birchHostileFrames()
    {
        QFETCH(QByteArray, frame);
        BirchRig r;
        r.d.pollPanel();
        r.sim.addScriptFrame(frame);
        r.sim.addReport(0x21, 1, 2, 3, 4);
        QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
        QVERIFY(r.events().isEmpty());
        QCOMPARE(r.d.pollPanel(), Controller::Done); // the next cycle starts clean
        QCOMPARE(r.events().value(0).nEventCode, 6);
    }

    void ashPolls()
    {
        AshRig r;
        QElapsedTimer t;
        t.start();
        QCOMPARE(r.poll(), hex("210701de010109"));
        // Seven bytes 10 ms apart, one write each, then 100 ms before the reply is read.
        QVERIFY2(t.elapsed() >= 150, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(r.f->writes().size(), 7);
        QCOMPARE(r.parities(), QStringLiteral("MMMMMMM"));
        AshRig idle; // an idle reply during the record query ends it
        idle.respond = [](const QByteArray &) { return hex("51"); };
        idle.d.pollPanel();
        QCOMPARE(idle.poll(), hex("31"));

        AshRig s;
        s.sim.addRecord(0xDE, 0x12, 0x34, 0x56, 78);
        s.d.pollPanel();
        s.d.pollPanel(); // end of records
        for (quint8 status : {0x10, 0x00, 0x00})
            s.sim.addStatus(status);
        QCOMPARE(s.poll(), hex("31 51")); // a status frame is a good cycle here
        QCOMPARE(s.last, 100);
        s.sim.addReport(0x22, 1, 2, 3, 0x59);
        s.sim.addReport(0x04, 0, 0, 0, 0);
        for (int i = 0; i < 4; ++i)
            s.d.pollPanel();
        QList<int> codes;
        QStringList texts;
        for (const CEvent &e : s.events()) {
            codes << e.nEventCode * 10 + e.nEventProperty;
            texts << e.strCode;
            QCOMPARE(e.nPanelType, 20);
        }
        // Code and property: the record, three status sequences, the report, the reset.
        QCOMPARE(codes, (QList<int>{80, 1140, 1150, 1180, 1251, 1140, 1150, 1180, 1260, 1140, 1150, 1180, 70, 1210}));
        QCOMPARE(texts.at(0) + texts.at(4) + texts.at(12), QStringLiteral("123456780000019701020389"));
        QVERIFY(!s.d.recordQueryDone()); // the panel's reset starts the record query again at once
        QCOMPARE(s.d.recordCounter(), 1);
    }

    void ashSetTime()
    {
        AshRig r;
        QCOMPARE(r.d.syncTime(), Controller::Done);
        QCOMPARE(r.f->parity(), QSerialPort::SpaceParity); // until the next poll
        r.poll();
        QCOMPARE(r.parities().left(1), QStringLiteral("M"));
        AshRig r12(12); // the address byte is the plain number
        QCOMPARE(r12.d.syncTime(), Controller::Done);
        QCOMPARE(r12.f->writtenData(), hex("0c 0a01aa0812052145 46"));
        AshRig silent;
        silent.sim.setSilent(true);
        AshRig wrong;
        wrong.respond = [](const QByteArray &b) { return b == hex("3b") ? hex("017001020300") : QByteArray(); };
        AshRig broken;
        broken.f->setFailWrites(true);
        QCOMPARE(QList<int>({silent.d.syncTime(), wrong.d.syncTime(), broken.d.syncTime()}), QList<int>({101, 101, 4}));
    }
};

QTEST_GUILESS_MAIN(TestBirchDriver)
#include "tst_birchdriver.moc"
