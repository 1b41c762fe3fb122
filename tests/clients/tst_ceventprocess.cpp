// The event dispatcher: filtering and renumbering from the event table,
// condition bookkeeping (repeats, restores, wildcards, restore-all), paced
// delivery by class, the reset processing, and the caps against floods.

#include "common/testfiles.h"

#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "core/servercontext.h"

#include <QLoggingCategory>
#include <QtTest>

namespace {

// Raw codes (ComData) and the numbers they map to. Classes 13, 14 and 17 sit
// in SysEvent groups, so they are no configured classes and come last.
const QByteArray kTable = R"(<Config><EventType>
  <DevEvent EventData="1"><Ev ComData="1" EventData="1203" EventProperty="1"/><Ev ComData="3" EventData=""/>
    <Ev ComData="4" EventData="0"/><Ev ComData="6" EventData="-5"/><Ev ComData="900" EventData="9000" bIsRestoreAll="1"/></DevEvent>
  <DevEvent EventData="2"><Ev ComData="20" EventData="7101"/><Ev ComData="21" EventData="7115"/><Ev ComData="22" EventData="7102"/></DevEvent>
  <DevEvent EventData="4"><Ev ComData="40" EventData="1300"/><Ev ComData="47" EventData="7"/><Ev ComData="913" EventData="7"/></DevEvent>
  <DevEvent EventData="5"><Ev ComData="55" EventData="5"/><Ev ComData="915" EventData="5"/></DevEvent>
  <DevEvent EventData="6"><Ev ComData="66" EventData="6"/><Ev ComData="916" EventData="6"/></DevEvent>
  <DevEvent EventData="8"><Ev ComData="80" EventData="8"/><Ev ComData="81" EventData="1800"/></DevEvent>
  <DevEvent EventData="10"><Ev ComData="100" EventData="1000"/></DevEvent>
  <DevEvent EventData="15"><Ev ComData="150" EventData="1500"/></DevEvent>
  <SysEvent EventData="11"><Ev ComData="110" EventData="1100"/></SysEvent>
  <SysEvent EventData="13"><Ev ComData="130" EventData="1313"/></SysEvent>
  <SysEvent EventData="14"><Ev ComData="140" EventData="1414"/></SysEvent>
  <SysEvent EventData="16"><Ev ComData="160" EventData="1600"/></SysEvent>
  <SysEvent EventData="17"><Ev ComData="170" EventData="1700"/></SysEvent>
  <SysEvent EventData="24"><Ev ComData="240" EventData="2400"/></SysEvent>
  <SysEvent EventData="30"><Ev ComData="400" EventData="4000"/></SysEvent>
</EventType></Config>)";

CEvent ev(int nCode, int nProperty, const QString &strCode, quint8 nCom = 1, quint8 nPanelID = 1,
          const QString &strEndCode = QString())
{
    CEvent e;
    e.nCom = nCom;
    e.nPanelID = nPanelID;
    e.nEventCode = nCode;
    e.nEventProperty = nProperty;
    e.strCode = strCode;
    if (!strEndCode.isNull())
        e.strEndCode = strEndCode;
    return e;
}

// The device codes of events, space-separated.
QString codes(const QList<CEvent> &events)
{
    QStringList out;
    for (const CEvent &e : events)
        out << e.strCode;
    return out.join(' ');
}

// A dispatcher driven by hand (no timers) and what it sends to clients.
struct Dispatcher
{
    CEventProcess d;
    QSignalSpy spy{&d, &CEventProcess::sendEventToClient};

    explicit Dispatcher(bool timers = false) { d.setTimersEnabled(timers); }
    Dispatcher &operator<<(const CEvent &e)
    {
        d.handleEvent(e);
        return *this;
    }
    bool active(quint8 com, int number, const char *key) const { return d.isActiveKey(com, number, QLatin1String(key)); }
    // Events sent since the last call; every one addressed as new to all users.
    QList<CEvent> take()
    {
        QList<CEvent> out;
        for (const QList<QVariant> &args : qAsConst(spy)) {
            if (args.at(0).toInt() == 1 && args.at(2).toString() == QLatin1String("ALL"))
                out.append(CEvent::fromVariant(args.at(1)));
            else
                QTest::qFail("event not addressed to all", __FILE__, __LINE__);
        }
        spy.clear();
        return out;
    }
    // Ticks until a tick delivers nothing; what went out.
    QList<CEvent> drain()
    {
        QList<CEvent> out = take();
        for (int got = 1; got;) {
            d.tick();
            const QList<CEvent> step = take();
            got = step.size();
            out += step;
        }
        return out;
    }
    QList<int> drainNumbers()
    {
        QList<int> out;
        for (const CEvent &e : drain())
            out << e.nEventNo;
        return out;
    }
};

} // namespace

class TestEventProcess : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    bool loadTable(const QByteArray &xml = kTable)
    {
        return TestFiles::write(m_dir.filePath("EventConfig.xml"), xml)
               && ConfigTables::instance().loadEventTable(m_dir.filePath("EventConfig.xml"));
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=false")); }
    void init()
    {
        QVERIFY(loadTable());
        ServerContext::instance().isControl = false;
    }
    void cleanup() { ConfigTables::instance().clear(); }

    void numbersAndDropsWhatItCannotUse()
    {
        Dispatcher x;
        QSignalSpy accepted(&x.d, &CEventProcess::receiveEvent);
        CEvent in = ev(1, 1, "01020304", 3, 7);
        in.nLoop = 2;
        in.strNote = QStringLiteral("一层大厅");
        x << in;
        QCOMPARE(x.spy.count(), 0); // paced, not sent at once
        // Numbered and named from the table; the code stays the panel's.
        CEvent expected = in;
        expected.nEventNo = 1203;
        expected.strEventName = ConfigTables::instance().entry(in.nEventCode).name;
        expected.nEventType = 1;
        QCOMPARE(x.drain(), QList<CEvent>{expected});
        QCOMPARE(x.d.currentEvents(), QList<CEvent>{expected});

        // Empty, zero or negative numbers, unknown codes, an empty record,
        // negative odd properties, codes past the length cap: dropped.
        for (int code : {3, 4, 6, 12345, 0})
            x << ev(code, 1, "A");
        x << CEvent() << ev(1, -1, "neg") << ev(1, -7, "neg");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device code of 1048576"));
        x << ev(1, 1, QString(1 << 20, '7'));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("exceeds 256"));
        x << ev(1, 1, "ok", 1, 1, QString(300, '7'));
        QCOMPARE(x.d.waitingCount() * 10 + accepted.count(), 1);
        x << ev(1, -2, "neg") << ev(1, 1, QString(CEventProcess::MaxCodeLength, '8')); // a restore; the longest code
        QCOMPARE(x.d.waitingCount() * 10 + accepted.count(), 23);
        ConfigTables::instance().clear(); // with an empty table everything is dropped
        x << ev(1, 1, "B");
        QCOMPARE(x.d.waitingCount(), 2);
    }

    void repeatsAndDeviceKeys()
    {
        Dispatcher x;
        // A repeat; another port; another number; odd property 3 is a presence too.
        x << ev(1, 1, "A", 1) << ev(1, 1, "A", 1) << ev(1, 1, "A", 2) << ev(40, 1, "A", 1) << ev(1, 3, "A", 1);
        QCOMPARE(x.drain().size(), 3);
        x << ev(1, 1, "A", 1) << ev(1, 0, "A", 1) << ev(1, 1, "A", 1); // a repeat until restored
        QCOMPARE(x.drain().size(), 2);
        // The end code joins the key only when it means something.
        x << ev(1, 1, "D1", 1, 1, "00000017") << ev(1, 1, "D1") << ev(1, 1, "D1", 1, 1, "D1")
          << ev(1, 1, "D1", 1, 1, "E9") << ev(1, 1, "D1", 1, 1, "00000E9");
        QVERIFY(x.active(1, 1203, "D1E9") && x.active(1, 1203, "D100000E9"));
        QCOMPARE(x.drain().size(), 3);
        // Exempt numbers go out every time, yet are active once.
        const int before = x.d.activeCount();
        for (int i = 0; i < 3; ++i)
            x << ev(20, 1, "X") << ev(21, 1, "X") << ev(22, 1, "X"); // 7101, 7115, 7102
        const QList<int> numbers = x.drainNumbers();
        QCOMPARE(QList<int>({numbers.count(7101), numbers.count(7115), numbers.count(7102)}), QList<int>({3, 3, 1}));
        QCOMPARE(x.d.activeCount(), before + 3);
    }

    void communicationStateIsPerPanel()
    {
        // Losses and restores of communication carry no device code and nCom
        // 0: each panel's must still be a condition of its own.
        Dispatcher x;
        x << ev(170, 1, "", 0, 1) << ev(170, 1, "", 0, 2) << ev(170, 1, "", 0, 2); // another panel; a repeat
        QCOMPARE(x.drain().size(), 2);
        x << ev(170, 0, "", 0, 1); // panel 1 is back, panel 2 still lost
        QCOMPARE(x.drain().value(0).nPanelID, quint8(1));
        QCOMPARE(x.d.currentEvents().value(0).nPanelID, quint8(2));
        QCOMPARE(x.d.currentEvents().size(), 1);
        // A restore cancels only its own panel's loss waiting in the queue.
        x << ev(170, 1, "", 0, 1) << ev(170, 0, "", 0, 2);
        const QList<CEvent> last = x.drain();
        QCOMPARE(QList<int>({last.value(0).nPanelID, last.value(1).nPanelID}), QList<int>({1, 2}));
    }

    void exactRestores()
    {
        Dispatcher x;
        x << ev(80, 1, "K1", 1) << ev(1, 1, "K1", 2) << ev(80, 1, "K2", 1); // number 8; the same code elsewhere
        x.drain();
        QCOMPARE(x.d.code8Count(), 2);
        x << ev(80, 0, "K1", 1);
        QVERIFY(!x.active(1, 8, "K1") && x.active(2, 1203, "K1")); // only its own port and number...
        QCOMPARE(x.d.code8Count(), 1);
        QCOMPARE(codes(x.d.currentEvents()), QStringLiteral("K2")); // ...but every backlog entry of the code
        QCOMPARE(x.drain().value(0).nEventProperty, 0);
        // A restore cancels its presence still waiting in the same queue, and
        // is dropped itself; number 1300 has no queue of its own: both go out.
        x << ev(80, 1, "P1") << ev(80, 1, "P2") << ev(80, 0, "P1") << ev(40, 1, "P3") << ev(40, 0, "P3");
        QCOMPARE(x.d.waitingCount(8), 1);
        QCOMPARE(codes(x.drain()), QStringLiteral("P3 P3 P2"));
        // The 7101 restore clears every number of its port for that device.
        x << ev(1, 1, "M", 4) << ev(40, 1, "M", 4) << ev(40, 1, "N", 4) << ev(40, 1, "M", 5);
        x.drain();
        x << ev(20, 0, "M", 4);
        QVERIFY(!x.active(4, 1203, "M") && !x.active(4, 1300, "M") && x.active(4, 1300, "N") && x.active(5, 1300, "M"));
        QCOMPARE(x.drainNumbers(), QList<int>{7101});
        // Classes 13 and 14 are lists: a restore removes the oldest open entry of its panel.
        Dispatcher y;
        y << ev(130, 1, "a1", 1, 1) << ev(130, 1, "b", 1, 2) << ev(130, 1, "a2", 1, 1) << ev(140, 1, "c", 1, 1)
          << ev(130, 1, "a2", 1, 1) << ev(130, 0, "zz", 1, 1) << ev(130, 0, "yy", 1, 9);
        QCOMPARE(codes(y.d.currentEvents()), QStringLiteral("b a2 c a2 zz yy"));
        QCOMPARE(y.drain().size(), 7); // never repeats
    }

    void wildcardRestores()
    {
        Dispatcher x;
        for (const char *k : {"abc1e", "ABC2E", "aBcfE", "abd1e", "abc1e1", "abc1"})
            x << ev(40, 1, k, 5);
        x << ev(40, 1, "abc1e", 6);
        x.drain();
        // "*" is exactly one character, case-insensitive, own port only; the
        // backlog loses the restored codes on every port.
        x << ev(40, 0, "abc*e", 5);
        QCOMPARE(x.d.activeKeyCount(), 4);
        QVERIFY(x.active(5, 1300, "abd1e") && x.active(6, 1300, "abc1e"));
        QCOMPARE(codes(x.d.currentEvents()), QStringLiteral("abd1e abc1e1 abc1"));
        QCOMPARE(x.drain().size(), 1); // a pattern restore is never a repeat
        // Keys that arrive or go after the first pattern are matched the same way.
        x << ev(40, 1, "abc9e", 5) << ev(40, 1, "ABC9F", 5) << ev(40, 0, "abd1e", 5) << ev(40, 0, "ABC*E", 5)
          << ev(40, 0, "abd*e", 5) << ev(40, 0, "*bc1e1", 5);
        QVERIFY(!x.active(5, 1300, "abc9e") && !x.active(5, 1300, "abc1e1"));
        QCOMPARE(x.d.activeKeyCount(), 3);
        // Class 8 too, with several wildcards; code-8 entries go with the keys.
        x << ev(80, 1, "F0A1", 5) << ev(80, 1, "f0b2", 5) << ev(80, 1, "E0A1", 5) << ev(80, 0, "F0**", 5);
        QVERIFY(x.active(5, 8, "E0A1") && !x.active(5, 8, "f0b2"));
        QCOMPARE(x.d.code8Count(), 1);
        // Other classes restore nothing by pattern; the restores still go out.
        x.drain();
        x << ev(1, 1, "abc1e") << ev(170, 1, "abc2e") << ev(1, 0, "abc*e") << ev(170, 0, "abc*e");
        QVERIFY(x.active(1, 1203, "abc1e") && x.active(1, 1700, "abc2e"));
        QCOMPARE(x.drain().size(), 4);
    }

    void restoreAllExpandsToActiveNumbers()
    {
        Dispatcher x;
        x << ev(47, 1, "R", 2) << ev(66, 1, "R", 2) << ev(55, 1, "R", 3); // numbers 7, 6, and 5 on another port
        x.drain();
        QSignalSpy accepted(&x.d, &CEventProcess::receiveEvent);
        x << ev(900, 0, "R", 2);
        QCOMPARE(accepted.count(), 2);
        QVERIFY(!x.active(2, 7, "R") && !x.active(2, 6, "R") && x.active(3, 5, "R"));
        QCOMPARE(x.drainNumbers(), (QList<int>{7, 6})); // the original is not delivered

        // A table whose 913 is itself a restore-all entry must not recurse.
        QVERIFY(loadTable(QByteArray(kTable).replace("\"913\" EventData=\"7\"", "\"913\" EventData=\"7\" bIsRestoreAll=\"1\"")));
        x << ev(47, 1, "S") << ev(66, 1, "S");
        x.drain();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("restore-all code 913"));
        x << ev(900, 0, "S");
        QCOMPARE(x.drainNumbers(), QList<int>{6}); // 913 dropped, 916 dispatched
    }

    void deliveryOrderAndPacing()
    {
        Dispatcher x;
        x << ev(140, 1, "c14") << ev(130, 1, "c13") << ev(170, 1, "c17") << ev(100, 1, "c10a") << ev(81, 1, "c8")
          << ev(66, 1, "c6") << ev(40, 1, "c4") << ev(1, 1, "c1") << ev(100, 1, "c10b") << ev(400, 1, "st")
          << ev(240, 1, "c24");
        QCOMPARE(x.spy.count(), 0);
        // One per tick: the fixed head (24..34), the configured classes lowest
        // first (a hashed set would change the order with every start), the
        // fixed tail (17, 13, 14, 10; 10 is configured here).
        QStringList order;
        for (int i = 0; i < 12; ++i) {
            x.d.tick();
            order << codes(x.take());
        }
        QCOMPARE(order.join(' ').simplified(), QStringLiteral("c24 c1 c4 c6 c8 c10a c10b c17 c13 c14"));
        // A standing number waits in its own queue, served only by a class of that number.
        QCOMPARE(x.d.waitingCount(4000) * 10 + x.d.waitingCount(), 11);
        // Class 16 bypasses the pacing.
        for (int i = 0; i < 40; ++i)
            x << ev(1, 1, QString::number(i));
        x << ev(160, 1, "now");
        QCOMPARE(codes(x.take()), QStringLiteral("now"));
        QCOMPARE(x.d.waitingCount(), 41);
        // Class 15: only the first of a run; a second takes the first with it.
        Dispatcher y;
        y << ev(150, 1, "first");
        QCOMPARE(codes(y.drain()), QStringLiteral("first"));
        y << ev(150, 1, "later");
        QCOMPARE(y.drain().size(), 0);
        Dispatcher z;
        z << ev(150, 1, "first") << ev(150, 1, "second") << ev(150, 1, "third");
        QCOMPARE(z.drain().size(), 0);
        z << ev(110, 1, "", 0); // a global reset discards the queues: a new run
        QVERIFY(z.d.processResetFollowUp());
        z.take();
        z << ev(150, 1, "new run");
        QCOMPARE(codes(z.drain()), QStringLiteral("new run"));
    }

    void globalResetKeepsOnlyNumber8FirstServed()
    {
        Dispatcher x;
        x << ev(1, 1, "A", 1) << ev(80, 1, "K2", 2) << ev(80, 1, "K1", 1) << ev(80, 1, "K1", 1);
        x.drain();
        x << ev(170, 1, "S1", 1) << ev(100, 1, "W", 1) << ev(170, 0, "S2", 2) << ev(400, 1, "st", 1);
        // The reset goes out at once and pauses the pacing until its follow-up.
        x << ev(110, 1, "R", 0);
        const CEvent reset = x.take().value(0);
        QCOMPARE(reset.nEventNo * 100 + reset.nEventType, 110011);
        QVERIFY(!x.d.isPacingActive());
        QCOMPARE(x.d.pendingResets() * 10 + x.d.waitingCount(), 14); // nothing changes before the follow-up
        QVERIFY(x.d.processResetFollowUp());
        QVERIFY(x.d.isPacingActive() && !x.d.processResetFollowUp());
        // The class-17 queue is flushed at once, in order; the rest is discarded,
        // every condition but the number-8 ones forgotten.
        QCOMPARE(codes(x.take()), QStringLiteral("S1 S2"));
        QCOMPARE(x.d.activeKeyCount() * 10 + x.d.code8Count(), 22);
        QCOMPARE(x.d.waitingCount(4000), -1);
        // The code-8 events come again one per tick, first-served before anything newer.
        x << ev(240, 1, "top");
        QCOMPARE(codes(x.drain()), QStringLiteral("K1 K2 top"));
        QCOMPARE(codes(x.d.currentEvents()), QStringLiteral("K1 K2"));
        x << ev(1, 1, "A", 1) << ev(80, 1, "K1", 1); // reported afresh; still active: a repeat
        QCOMPARE(codes(x.drain()), QStringLiteral("A"));
    }

    void portResetTouchesOnlyItsPort()
    {
        Dispatcher x;
        x << ev(1, 1, "A", 3) << ev(80, 1, "K", 3) << ev(1, 1, "A", 4);
        x.drain();
        x << ev(170, 1, "S1", 3) << ev(170, 0, "S2", 3) << ev(170, 2, "S3", 3) << ev(100, 1, "W", 3)
          << ev(170, 0, "T", 4) << ev(100, 1, "V", 4) << ev(110, 1, "", 3);
        x.take();
        QVERIFY(x.d.processResetFollowUp());
        // Only the port's waiting class-17 restores go out at once.
        QCOMPARE(codes(x.take()), QStringLiteral("S2 S3"));
        QVERIFY(!x.active(3, 1203, "A") && !x.active(3, 1700, "S1") && x.active(3, 8, "K") && x.active(4, 1203, "A"));
        QCOMPARE(codes(x.drain()), QStringLiteral("V T"));
        QCOMPARE(codes(x.d.currentEvents()), QStringLiteral("K A"));
        // After a global reset, a port reset trims that port's first-served entry.
        Dispatcher y;
        y << ev(80, 1, "K3", 3) << ev(80, 1, "K4", 4);
        y.drain();
        y << ev(110, 1, "", 0) << ev(110, 1, "", 3);
        QVERIFY(y.d.processResetFollowUp());
        QCOMPARE(y.d.firstServedCount(), 2);
        QVERIFY(y.d.processResetFollowUp());
        y.take();
        QCOMPARE(codes(y.drain()), QStringLiteral("K4"));
        QCOMPARE(codes(y.d.currentEvents()), QStringLiteral("K3 K4"));
        // With control on the port reset also clears class 8 but number 8.
        ServerContext::instance().isControl = true;
        Dispatcher z;
        z << ev(80, 1, "K", 3) << ev(81, 1, "L", 3);
        z.drain();
        z << ev(110, 1, "", 3);
        QVERIFY(z.d.processResetFollowUp());
        QCOMPARE(z.d.activeCount() * 10 + z.d.code8Count(), 1);
        QVERIFY(z.active(3, 8, "K") && !z.active(3, 1800, "L"));
    }

    void realTimersDriveDeliveryAndFollowUp()
    {
        Dispatcher x(true);
        x << ev(100, 1, "a") << ev(100, 1, "b");
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(x.spy.count(), 2, 5000);
        QVERIFY2(clock.elapsed() >= 70, qPrintable(QString::number(clock.elapsed()))); // two 40 ms ticks
        x.take();
        x << ev(100, 1, "c") << ev(110, 1, "", 0);
        QCOMPARE(x.take().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(x.d.pendingResets(), 0, 5000);
        QCOMPARE(x.d.waitingCount(), 0); // "c" discarded by the global reset
        x << ev(100, 1, "d");
        QTRY_COMPARE_WITH_TIMEOUT(x.spy.count(), 1, 5000);
    }

    void floodsAreBounded()
    {
        LogCapture log;
        Dispatcher x;
        // The backlog keeps the newest, even before anything is delivered...
        for (int i = 0; i < CEventProcess::MaxActiveEvents + 500; ++i)
            x << ev(40, 1, QString::number(i));
        QCOMPARE(x.d.activeCount(), CEventProcess::MaxActiveEvents);
        QCOMPARE(x.d.currentEvents().first().strCode, QStringLiteral("500"));
        // ...and at delivery; a dropped one is still active: its repeat stays quiet.
        Dispatcher y;
        for (int i = 0; i <= CEventProcess::MaxActiveEvents; ++i)
            y << ev(1, 1, QString::number(i));
        QCOMPARE(y.drain().size(), CEventProcess::MaxActiveEvents + 1);
        QCOMPARE(y.d.currentEvents().first().strCode, QStringLiteral("1"));
        y << ev(1, 1, "0");
        QCOMPARE(y.d.waitingCount(), 0);
        // One warning when a queue passes its threshold (class 10: never a repeat).
        for (int i = 0; i < CEventProcess::QueueWarnThreshold + 50; ++i)
            x << ev(100, 1, "x");
        QCOMPARE(log.count("holds more than 10000"), 1);
        // Past the key cap a condition is still delivered, only not tracked.
        Dispatcher z;
        for (int i = 0; i < CEventProcess::MaxTrackedKeys + 10; ++i)
            z << ev(1, 1, QString::number(i));
        QCOMPARE(z.d.activeKeyCount(), CEventProcess::MaxTrackedKeys);
        QCOMPARE(z.d.waitingCount(1), CEventProcess::MaxTrackedKeys + 10);
        QCOMPARE(log.count("delivered but not tracked"), 1);
    }
};

QTEST_GUILESS_MAIN(TestEventProcess)
#include "tst_ceventprocess.moc"
