// The Cedar and Dune drivers against the fake link, with the panel simulator
// answering: handshakes, blocks and acknowledgements byte by byte with the
// parity of each byte, the record query, reports as events, command replies,
// read values and hostile frames.

#include "common/driverrig.h"
#include "common/qtwarningguard.h"

#include "panels/models/cedarframes.h"
#include "panels/models/controllercedar.h"
#include "panels/models/controllerdune.h"
#include "tools/sim/cedarpanelsim.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace CedarFrames;

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// "M" mark, "S" space: one letter per written byte.
QString parities(const FakeLink *f)
{
    QString s;
    for (const auto &b : f->writtenBytes())
        s += b.second == QSerialPort::MarkParity ? 'M' : b.second == QSerialPort::SpaceParity ? 'S' : 'N';
    return s;
}

// A panel report: header and body, then the checksum over the body (a sum
// of 0xBB goes out as 0xB5) and the terminator.
QByteArray report(const char *headerAndBody)
{
    QByteArray f = hex(headerAndBody);
    quint8 s = 0;
    for (int i = 2; i < f.size(); ++i)
        s = quint8(s + quint8(f.at(i)));
    return f.append(char(s == 0xBB ? 0xB5 : s)).append(char(0xBB));
}

template <class Driver>
struct Rig : DriverRig<Driver, CedarPanelSim> {
    explicit Rig(int type, int id = 1)
        : DriverRig<Driver, CedarPanelSim>(QStringLiteral("COM:COM7"), id, type, id,
                                           std::is_same<Driver, ControllerDune>::value ? CedarPanelSim::Dune
                                                                                        : CedarPanelSim::Cedar)
    {
        // Every record query ends with an unanswered request: keep that short.
        this->d.setRecordReplyTicks(5);
        this->d.setReadValueTicks(5);
    }
    QList<int> codes() { return this->events(), this->sink.codes(); }
    // The first cycle, whose record query ends on a panel without records.
    void settle()
    {
        QCOMPARE(this->d.pollPanel(), Controller::Done);
        QVERIFY(this->d.recordQueryDone());
        this->f->clearWrites();
        this->events();
        this->sink.events.clear();
        this->sim.takeReceived();
    }
};
using CedarRig = Rig<ControllerCedar>;
using DuneRig = Rig<ControllerDune>;

QList<int> recordIndexes(CedarPanelSim &sim)
{
    QList<int> out;
    for (const CedarPanelSim::Received &r : sim.takeReceived())
        if (r.type == CedarPanelSim::Received::RecordRequest)
            out << r.index;
    return out;
}

// One poll cycle of a settled driver whose panel answers with frame.
struct Outcome {
    int result = 0;
    QByteArray written;
    QList<CEvent> events;
    QList<int> codes;
    bool recordQueryDone = true;
};

template <class Driver>
Outcome pollWith(int type, const QByteArray &frame)
{
    Rig<Driver> r(type);
    r.settle();
    r.sim.addScriptFrame(frame);
    Outcome o;
    o.result = r.d.pollPanel();
    o.written = r.f->writtenData();
    o.codes = r.codes();
    o.events = r.sink.events;
    o.recordQueryDone = r.d.recordQueryDone();
    return o;
}

} // namespace

class TestCedarDriver : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void pollCycleOnTheWire()
    {
        // Cedar: one write per byte; the plain panel number addresses it.
        CedarRig c(50, 12);
        QVERIFY(c.ok);
        QCOMPARE(c.f->baudRate(), 2400);
        QCOMPARE(c.d.pollPanel(), Controller::Done);
        QCOMPARE(c.f->writtenData(), hex("0c180002 0c00 0f 1f")); // record 2 (unanswered), handshake, data, accepted
        QCOMPARE(parities(c.f), QStringLiteral("MMMMMMSS"));
        QCOMPARE(c.f->writes().size(), 8);
        QVERIFY(c.d.recordQueryDone());
        c.f->clearWrites();
        QCOMPARE(c.d.pollPanel(), Controller::Done);
        QCOMPARE(c.f->writtenData(), hex("0c00 0f 1f"));
        QVERIFY(c.events().isEmpty());
        QCOMPARE(c.d.getCommState(), 1);
    }
    void recordQuery()
    {
        CedarRig r(50);
        r.sim.addRecord(hex("11223301"));
        r.sim.addRecord(hex("0a102245"));
        r.sim.addRecord(hex("00010203"));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(r.d.pollPanel(), Controller::Done);
        // The first query after start begins at record 2 and ends where the panel falls silent.
        QCOMPARE(recordIndexes(r.sim), (QList<int>{2, 3, 4}));
        const QList<CEvent> ev = r.events();
        QCOMPARE(ev.size(), 2);
        QCOMPARE(ev.at(0).nEventCode, 8);
        QCOMPARE(ev.at(0).strCode, QStringLiteral("0*102245"));
        QCOMPARE(ev.at(0).nDevType, 45);
        QCOMPARE(ev.at(0).nPanelType, 50);
        QCOMPARE(int(ev.at(0).nCom), 7);
        QCOMPARE(ev.at(1).strCode, QStringLiteral("00010203"));
        // A reset command starts the next query at record 1.
        QCOMPARE(r.d.sendControl94(), Controller::Done);
        QVERIFY(!r.d.recordQueryDone());
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(recordIndexes(r.sim), QList<int>{1});
        QCOMPARE(r.events().last().strCode, QStringLiteral("11223301"));
    }
    void reports_data()
    {
        QTest::addColumn<int>("type"); // 160 is Dune
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("devType");
        QTest::addColumn<int>("value");
        using L = QList<int>;
        QTest::newRow("reset") << 50 << hex("faaa") << L{121} << QString() << 0 << 0;
        QTest::newRow("silenced") << 50 << hex("0aab") << L{122} << QString() << 0 << 0;
        QTest::newRow("status bits 6, 5") << 50 << hex("cbcb6000") << L{111, 113, 115} << QString() << 0 << 0;
        QTest::newRow("status bit 7") << 50 << hex("fbcb8000") << L{114, 118, 112} << QString() << 0 << 0;
        QTest::newRow("analog word") << 50 << report("f999 0a020304 00 1234") << L{6303} << "0*020304" << 4 << 0x1234;
        QTest::newRow("analog byte") << 50 << report("e999 01020302 00 56ff") << L{6304} << "01020302" << 2 << 0x56;
        QTest::newRow("raised 97") << 50 << report("feee 00000197 00") << L{125} << "00000197" << 97 << 0;
        QTest::newRow("raised 98") << 150 << report("eeee 00000198 20") << L{127} << "00000198" << 98 << 0;
        QTest::newRow("raised device, 190") << 190 << report("feee 01020304 00") << L{3} << "01020304" << 4 << 0;
        QTest::newRow("cleared 97") << 50 << report("fddd 00000197 00") << L{126} << "00000197" << 97 << 0;
        QTest::newRow("cleared fire t 5") << 50 << report("fddd 01020305 01") << L{1} << "01020305" << 5 << 0;
        QTest::newRow("cleared fire t 5, 200") << 200 << report("fddd 01020305 01") << L{2} << "01020305" << 5 << 0;
        QTest::newRow("cleared fire t 20, 200") << 200 << report("eddd 01020320 01") << L{5} << "01020320" << 20 << 0;
        QTest::newRow("cleared fire t 48") << 200 << report("fddd 01020348 01") << L{7} << "01020348" << 48 << 0;
        QTest::newRow("cleared state not in table") << 50 << report("fddd 01020304 77") << L{} << QString() << 0 << 0;
        // Dune has its own tables on the same frames.
        QTest::newRow("dune cleared 04, t 45") << 160 << report("fddd 01020345 04") << L{5} << "01020345" << 45 << 0;
        QTest::newRow("dune cleared 04, t 55") << 160 << report("fddd 01020355 04") << L{2} << "01020355" << 55 << 0;
        QTest::newRow("dune cleared 04, t 20") << 160 << report("fddd 01020320 04") << L{4} << "01020320" << 20 << 0;
        QTest::newRow("dune cleared 01, t 55") << 160 << report("fddd 01020355 01") << L{4} << "01020355" << 55 << 0;
        QTest::newRow("dune cleared 00, t 70") << 160 << report("eddd 01020370 00") << L{38} << "01020370" << 70 << 0;
        QTest::newRow("dune raised 30") << 160 << report("eeee 01020345 30") << L{7} << "01020345" << 45 << 0;
    }
    void reports()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, codes);
        QFETCH(QString, code);
        QFETCH(int, devType);
        QFETCH(int, value);
        const Outcome o = type == 160 ? pollWith<ControllerDune>(type, frame) : pollWith<ControllerCedar>(type, frame);
        QCOMPARE(o.result, 100);
        QCOMPARE(o.written, hex("0100 0f 1f"));
        QCOMPARE(o.codes, codes);
        for (const CEvent &e : o.events) {
            QCOMPARE(e.nPanelType, type);
            QCOMPARE(e.nEventProperty, 0);
            if (!code.isEmpty())
                QCOMPARE(QList<QVariant>({e.strCode, e.nDevType, e.nValue}), QList<QVariant>({code, devType, value}));
        }
        // Only the panel's reset starts the record query again.
        QCOMPARE(o.recordQueryDone, codes != QList<int>{121});
    }
    void checksumAcceptance_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("codes"); // empty: refused
        // Address and state sum to 0xBB: the panel sends 0xB5.
        const QByteArray b5 = hex("feee 1020305a 01 b5 bb");
        QTest::newRow("0xBB sent as 0xB5") << 50 << b5 << QList<int>{8};
        QTest::newRow("0xBB sent as it is") << 50 << hex("feee 1020305a 01 bb bb") << QList<int>{};
        QTest::newRow("wrong sum") << 50 << hex("feee 01020304 00 0b bb") << QList<int>{};
        QTest::newRow("type 30 refuses 0xB5") << 30 << b5 << QList<int>{};
        QTest::newRow("type 30 refuses any raised") << 30 << report("feee 01020304 00") << QList<int>{};
        QTest::newRow("type 30 refuses cleared") << 30 << report("fddd 01020304 02") << QList<int>{};
        QTest::newRow("type 30 refuses analog") << 30 << report("f999 01020304 00 1234") << QList<int>{};
        QTest::newRow("dune 0xB5") << 160 << b5 << QList<int>{2};
    }
    void checksumAcceptance()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, codes);
        const Outcome o = type == 160 ? pollWith<ControllerDune>(type, frame) : pollWith<ControllerCedar>(type, frame);
        QCOMPARE(o.result, codes.isEmpty() ? 101 : 100);
        // A rejected report is answered with the request to send it again.
        QCOMPARE(o.written.right(1), codes.isEmpty() ? hex("ff") : hex("1f"));
        QCOMPARE(o.codes, codes);
        if (!o.events.isEmpty())
            QCOMPARE(o.events.at(0).strCode, QStringLiteral("1020305*"));
    }
    void commandBlocksByteExact_data()
    {
        QTest::addColumn<int>("type"); // 160 is Dune
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QByteArray>("written");
        const int set = CmdSyncTime;
        QTest::newRow("silence") << 50 << int(CmdSilence) << QString() << hex("011b");
        QTest::newRow("reset") << 50 << int(CmdReset) << QString() << hex("015f");
        // Type 200 sends the seconds; the others a century byte and no seconds.
        QTest::newRow("set time, 200") << 200 << set << QString() << hex("01a3 0f d5d5 241205214510 b1 bb");
        QTest::newRow("set time, 190") << 190 << set << QString() << hex("01a3 0f d5d5 202412052145 c1 bb");
        QTest::newRow("start") << 50 << int(CmdStart) << "01020304" << hex("010f 0f 0ccc 01020304 01 0b bb");
        // A code that is not exactly the digits the block needs names some
        // other device: refused before the handshake, nothing on the wire.
        QTest::newRow("disable, wildcard") << 50 << int(CmdDisable) << "0*020304" << QByteArray();
        QTest::newRow("disable, short") << 50 << int(CmdDisable) << "0102030" << QByteArray();
        QTest::newRow("enable") << 50 << int(CmdEnable) << "12345678" << hex("010f 0f 0ccc 12345678 06 1a bb");
        QTest::newRow("dune silence") << 160 << int(CmdSilence) << QString() << hex("011b");
        QTest::newRow("dune set time") << 160 << set << QString() << hex("01a3 0f d5d5 202412052145 c1 bb");
        // Dune reads the address as Birch does: decimal pairs from position 3, sent as BCD.
        QTest::newRow("dune stop") << 160 << int(CmdStop) << "00012345678" << hex("010f 0f 0ccc 12345678 00 14 bb");
        QTest::newRow("dune stop, letter") << 160 << int(CmdStop) << "0001b345678" << QByteArray();
    }
    void commandBlocksByteExact()
    {
        QFETCH(int, type);
        QFETCH(int, command);
        QFETCH(QString, code);
        QFETCH(QByteArray, written);
        CedarRig c(type);
        DuneRig d(type);
        const bool dune = type == 160;
        Controller &driver = dune ? static_cast<Controller &>(d.d) : c.d;
        FakeLink *f = dune ? d.f : c.f;
        const int result = command == CmdSilence    ? driver.sendControl89()
                           : command == CmdReset    ? driver.sendControl94()
                           : command == CmdSyncTime ? driver.syncTime()
                                                    : driver.setDeviceState(command, code, QString());
        QCOMPARE(result, written.isEmpty() ? int(Controller::Refused) : 100);
        QCOMPARE(f->writtenData().toHex(' '), written.toHex(' '));
        if (written.isEmpty())
            return;
        // The handshake under mark, everything after the echo under space.
        QCOMPARE(parities(f), QStringLiteral("MM") + QString(written.size() - 2, QLatin1Char('S')));
        // Cedar writes byte by byte, Dune whole frames.
        QCOMPARE(f->writes().size() < written.size(), dune);
    }
    void commandReplies()
    {
        const auto answered = [](std::function<QByteArray(const QByteArray &)> respond, int command) {
            CedarRig r(50);
            r.respond = std::move(respond);
            return command == CmdSyncTime ? r.d.syncTime()
                 : command == CmdSilence  ? r.d.sendControl89()
                                          : r.d.setDeviceState(CmdStart, QStringLiteral("01020304"), QString());
        };
        // 00 FF BB is an acceptance too.
        QCOMPARE(answered([](const QByteArray &b) { return b == hex("bb") ? hex("00ffbb") : b == hex("a3") ? hex("01") : QByteArray(); },
                          CmdSyncTime), 100);
        // The echo comes (after the second byte), the reply to the block does not.
        for (int command : {int(CmdStart), int(CmdSyncTime)}) {
            int writes = 0;
            QCOMPARE(answered([&writes](const QByteArray &) { return ++writes == 2 ? hex("01") : QByteArray(); }, command),
                     command == CmdStart ? 6 : 101);
        }
        {
            CedarRig r(50);
            r.sim.setRefuseCommands(true);
            QCOMPARE(r.d.syncTime(), Controller::NoAnswer);
            QCOMPARE(r.d.setDeviceState(CmdStart, QStringLiteral("01020304"), QString()), Controller::WrongReply);
        }
        {
            CedarRig r(50);
            r.respond = [](const QByteArray &) { return hex("02"); }; // someone else's echo
            QCOMPARE(r.d.sendControl89(), Controller::NoAnswer);
            QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
            QCOMPARE(r.f->writtenData().right(2), hex("0100")); // no data phase after a wrong echo
        }
        CedarRig r(50);
        r.sim.setSilent(true);
        QElapsedTimer t;
        t.start();
        QCOMPARE(r.d.sendControl89(), Controller::NoAnswer);
        QVERIFY2(t.elapsed() >= 450 && t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(r.d.sendControl94(), Controller::NoAnswer);
        QCOMPARE(r.d.setDeviceState(CmdStart, QStringLiteral("01020304"), QString()), Controller::NoAnswer);
    }
    void readValue()
    {
        CedarRig r(50);
        r.sim.setReadValue(0x0456);
        QCOMPARE(r.d.readValue(2, 7, 0), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("01650207"));
        QCOMPARE(parities(r.f), QStringLiteral("MMMM"));
        r.f->clearWrites();
        QCOMPARE(r.d.readValue(2, 7, 3), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("01660207"));
        r.sim.setSilent(true);
        QCOMPARE(r.d.readValue(1, 9, 0), Controller::Done); // no reply: the client still gets its answer
        const QList<CEvent> ev = r.events();
        QCOMPARE(ev.size(), 3);
        QCOMPARE(QList<int>({ev.at(0).nEventCode, ev.at(0).nLoop, ev.at(0).nAddress, ev.at(0).nChannel, ev.at(0).nValue}),
                 QList<int>({6000, 2, 7, 7, 0x0456}));
        QCOMPARE(ev.at(1).nEventCode, 7000);
        QCOMPARE(QList<int>({ev.at(2).nEventCode, ev.at(2).nLoop, ev.at(2).nValue}), QList<int>({6000, 1, 0}));

        // Dune reads no values: nothing goes to the panel.
        DuneRig d(160);
        QCOMPARE(d.d.readValue(2, 7, 0), Controller::NotDone);
        QVERIFY(d.f->writtenData().isEmpty());
        QVERIFY(d.events().isEmpty());
    }
    void duneResetReportedOnceTakenAndResumesRecords()
    {
        DuneRig r(160);
        qint64 now = 1000;
        r.d.setMonotonicClock([&now] { return now; });
        r.settle();
        // A reset the panel does not take is not reported: no code 12 for
        // this attempt, nor for the base's retries.
        r.respond = [](const QByteArray &) { return QByteArray(); };
        QCOMPARE(r.d.sendControl94(), Controller::NoAnswer);
        QVERIFY(r.events().isEmpty());
        r.respond = nullptr;
        r.f->clearWrites();
        // Taken: reported exactly once.
        QCOMPARE(r.d.sendControl94(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("015f"));
        QCOMPARE(r.codes(), QList<int>{12});
        const CEvent reset = r.events().value(0);
        QCOMPARE(QString::number(reset.nEventCode) + reset.strCode + reset.strEndCode, QStringLiteral("120000000000000000"));
        // Plain polls until five seconds have passed, then the records again.
        now += 4999;
        r.f->clearWrites();
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("0100 0f 1f"));
        now += 1;
        r.f->clearWrites();
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.f->writtenData(), hex("01180001 0100 0f 1f"));

        // The panel's own reset report arms the same delay.
        r.sim.addReset();
        r.sim.addSilenced();
        r.sim.addStatus(0x60);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.codes(), (QList<int>{12, 12, 37}));
        QCOMPARE(r.events().at(1).strCode, QStringLiteral("00000000"));
        QVERIFY(r.d.recordQueryDone());
        now += 5000;
        r.f->clearWrites();
        r.d.pollPanel();
        QCOMPARE(r.f->writtenData().left(4), hex("01180001"));
    }
    void hostileFrames_data()
    {
        QTest::addColumn<bool>("afterData");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("lastWrite");
        QByteArray wrongEnd = report("feee 01020304 00");
        wrongEnd[wrongEnd.size() - 1] = char(0xBA);
        QRandomGenerator rng(12);
        QByteArray noise(64, '\0');
        for (char &c : noise)
            c = char(rng.bounded(2, 256));
        QTest::newRow("wrong terminator") << true << wrongEnd << hex("ff");
        QTest::newRow("report cut short") << true << hex("feee0102") << hex("0f");
        QTest::newRow("half a header") << true << hex("fe") << hex("0f");
        QTest::newRow("status cut short") << true << hex("cbcb60") << hex("0f");
        QTest::newRow("wrong echo") << false << hex("02") << hex("00");
        QTest::newRow("random bytes") << false << noise << hex("00");
        QTest::newRow("flood") << false << QByteArray(70000, '\x5a') << hex("00");
    }
    void hostileFrames()
    {
        QFETCH(bool, afterData);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, lastWrite);
        CedarRig r(50);
        r.settle();
        r.sim.addRaised(hex("01020304"), 0x00);
        // Once, the panel's answer to the handshake or to the data phase is replaced.
        bool used = false;
        r.respond = [&](const QByteArray &b) {
            if (!used && b == (afterData ? hex("0f") : hex("00"))) {
                used = true;
                return bytes;
            }
            return r.sim.feed(b);
        };
        QCOMPARE(r.d.pollPanel(), Controller::NoAnswer);
        QVERIFY(used);
        QCOMPARE(r.f->writtenData().right(1), lastWrite);
        QVERIFY(r.codes().isEmpty());
        // The next cycle starts clean and takes the panel's report.
        QCOMPARE(r.d.pollPanel(), Controller::Done);
        QCOMPARE(r.codes(), QList<int>{3});
    }
};

QTEST_GUILESS_MAIN(TestCedarDriver)
#include "tst_cedardriver.moc"
