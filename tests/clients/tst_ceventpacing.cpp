// Paced delivery by class priority, the bypassing classes and the reset
// processing of the event dispatcher.

#include "dispatcherfixture.h"

#include "core/servercontext.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace dispatchertest;

class TestEventPacing : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void deliversByClassPriority();
    void configuredClassesGoInAscendingOrder();
    void onePacedEventPerTick();
    void class16BypassesPacing();
    void class15OnlyFirstOfARun();
    void resetGoesOutAtOnceThenCode8FirstServed();
    void globalResetClearsAllButNumber8();
    void portResetTouchesOnlyItsPort();
    void portResetCode8FollowsIsControl();
    void portResetTrimsFirstServed();
    void capDropsOldestAtDelivery();
    void realTimersDriveDeliveryAndFollowUp();

private:
    QTemporaryDir m_dir;
};

void TestEventPacing::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=false"));
}

void TestEventPacing::init()
{
    QVERIFY(loadTable(m_dir));
    ServerContext::instance().isControl = false;
}

void TestEventPacing::cleanup()
{
    ConfigTables::instance().clear();
    ServerContext::instance().isControl = false;
}

void TestEventPacing::deliversByClassPriority()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(140, 1, QStringLiteral("c14"))));
    d.handleEvent(var(ev(130, 1, QStringLiteral("c13"))));
    d.handleEvent(var(ev(170, 1, QStringLiteral("c17"))));
    d.handleEvent(var(ev(100, 1, QStringLiteral("c10a"))));
    d.handleEvent(var(ev(1, 1, QStringLiteral("c1"))));
    d.handleEvent(var(ev(100, 1, QStringLiteral("c10b"))));
    d.handleEvent(var(ev(400, 1, QStringLiteral("standing"))));
    d.handleEvent(var(ev(240, 1, QStringLiteral("c24"))));
    QCOMPARE(r.count(), 0);

    // Configured classes between the fixed head (24..34) and tail (17, 13,
    // 14, 10), lowest class first; 10 is configured here.
    const QStringList expected{QStringLiteral("c24"), QStringLiteral("c1"), QStringLiteral("c10a"),
                               QStringLiteral("c10b"), QStringLiteral("c17"), QStringLiteral("c13"),
                               QStringLiteral("c14")};
    QCOMPARE(strCodesOf(drain(d, r)), expected);
    // A standing number waits in its own queue, which only a class of the
    // same number would serve.
    QCOMPARE(d.waitingCount(4000), 1);
    QCOMPARE(d.waitingCount(), 1);
}

void TestEventPacing::configuredClassesGoInAscendingOrder()
{
    // The configured classes are a hashed set whose iteration order changes
    // with every process start; the priority between them must not.
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(100, 1, QStringLiteral("c10"))));
    d.handleEvent(var(ev(81, 1, QStringLiteral("c8"))));
    d.handleEvent(var(ev(66, 1, QStringLiteral("c6"))));
    d.handleEvent(var(ev(55, 1, QStringLiteral("c5"))));
    d.handleEvent(var(ev(40, 1, QStringLiteral("c4"))));
    d.handleEvent(var(ev(22, 1, QStringLiteral("c2"))));
    d.handleEvent(var(ev(1, 1, QStringLiteral("c1"))));
    QCOMPARE(strCodesOf(drain(d, r)),
             (QStringList{QStringLiteral("c1"), QStringLiteral("c2"), QStringLiteral("c4"), QStringLiteral("c5"),
                          QStringLiteral("c6"), QStringLiteral("c8"), QStringLiteral("c10")}));
}

void TestEventPacing::onePacedEventPerTick()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    for (int i = 0; i < 5; ++i)
        d.handleEvent(var(ev(100, 1, QString::number(i))));
    for (int i = 0; i < 5; ++i) {
        d.tick();
        const QList<CEvent> got = r.take();
        QCOMPARE(got.size(), 1);
        QCOMPARE(got.first().strCode, QString::number(i));
    }
    d.tick();
    QCOMPARE(r.count(), 0);
}

void TestEventPacing::class16BypassesPacing()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    for (int i = 0; i < 40; ++i)
        d.handleEvent(var(ev(1, 1, QString::number(i))));
    d.handleEvent(var(ev(160, 1, QStringLiteral("now"))));
    const QList<CEvent> got = r.take();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.first().nEventCode, 1600);
    QCOMPARE(got.first().nEventType, 16);
    QCOMPARE(d.waitingCount(), 40);
    QVERIFY(d.isPacingActive());
    QCOMPARE(d.activeCount(), 40); // class 16 is not a tracked condition
}

void TestEventPacing::class15OnlyFirstOfARun()
{
    {
        CEventProcess d;
        d.setTimersEnabled(false);
        Recorder r(d);
        d.handleEvent(var(ev(150, 1, QStringLiteral("first"))));
        QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("first")});
        d.handleEvent(var(ev(150, 1, QStringLiteral("later"))));
        QCOMPARE(drain(d, r).size(), 0);
    }
    {
        CEventProcess d;
        d.setTimersEnabled(false);
        Recorder r(d);
        d.handleEvent(var(ev(150, 1, QStringLiteral("first"))));
        d.handleEvent(var(ev(150, 1, QStringLiteral("second")))); // takes the first with it
        QCOMPARE(d.waitingCount(15), 0);
        d.handleEvent(var(ev(150, 1, QStringLiteral("third"))));
        QCOMPARE(drain(d, r).size(), 0);

        // A global reset discards the queues and so starts a new run.
        d.handleEvent(var(ev(110, 1, QString(), 0)));
        QVERIFY(d.processResetFollowUp());
        r.take();
        d.handleEvent(var(ev(150, 1, QStringLiteral("new run"))));
        QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("new run")});
    }
}

void TestEventPacing::resetGoesOutAtOnceThenCode8FirstServed()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(80, 1, QStringLiteral("K2"), 2)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K1"), 1)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K1"), 1))); // repeat: stays out of the table twice
    QCOMPARE(drain(d, r).size(), 2);
    for (int i = 0; i < 10; ++i)
        d.handleEvent(var(ev(1, 1, QString::number(i))));

    d.handleEvent(var(ev(110, 1, QStringLiteral("R"), 0)));
    QList<CEvent> got = r.take();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.first().nEventCode, 1100);
    QCOMPARE(got.first().nEventType, 11);
    QVERIFY(!d.isPacingActive());
    QCOMPARE(d.pendingResets(), 1);
    QCOMPARE(d.waitingCount(), 10); // nothing changes before the follow-up

    QVERIFY(d.processResetFollowUp());
    QVERIFY(d.isPacingActive());
    QCOMPARE(d.pendingResets(), 0);
    QVERIFY(!d.processResetFollowUp());
    QCOMPARE(r.count(), 0);
    QCOMPARE(d.firstServedCount(), 2);
    QCOMPARE(d.waitingCount(), 2);
    // One per tick, first-served before anything newer.
    d.handleEvent(var(ev(240, 1, QStringLiteral("top"))));
    d.tick();
    QCOMPARE(strCodesOf(r.take()), QStringList{QStringLiteral("K1")});
    d.tick();
    QCOMPARE(strCodesOf(r.take()), QStringList{QStringLiteral("K2")});
    d.tick();
    QCOMPARE(strCodesOf(r.take()), QStringList{QStringLiteral("top")});
    QCOMPARE(strCodesOf(d.currentEvents()), (QStringList{QStringLiteral("K1"), QStringLiteral("K2")}));
}

void TestEventPacing::globalResetClearsAllButNumber8()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("B"), 2)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K"), 2)));
    drain(d, r);
    // Waiting: class-17 events (both kinds) and others.
    d.handleEvent(var(ev(170, 1, QStringLiteral("S1"), 1)));
    d.handleEvent(var(ev(100, 1, QStringLiteral("W"), 1)));
    d.handleEvent(var(ev(170, 0, QStringLiteral("S2"), 2)));
    d.handleEvent(var(ev(400, 1, QStringLiteral("standing"), 1)));

    d.handleEvent(var(ev(110, 1, QString(), 0)));
    r.take();
    QVERIFY(d.processResetFollowUp());
    // The class-17 queue is flushed at once, in order; the rest is discarded.
    QCOMPARE(strCodesOf(r.take()), (QStringList{QStringLiteral("S1"), QStringLiteral("S2")}));
    QVERIFY(!d.isActiveKey(1, 1203, QStringLiteral("A")));
    QVERIFY(!d.isActiveKey(2, 1300, QStringLiteral("B")));
    QVERIFY(!d.isActiveKey(1, 1700, QStringLiteral("S1")));
    QVERIFY(d.isActiveKey(2, 8, QStringLiteral("K")));
    QCOMPARE(d.activeKeyCount(), 1);
    QCOMPARE(d.code8Count(), 1);
    QCOMPARE(d.waitingCount(4000), -1);
    QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("K")});

    // Conditions are reported afresh after a reset.
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K"), 2))); // still active: repeat
    QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("A")});
}

void TestEventPacing::portResetTouchesOnlyItsPort()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 3)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K"), 3)));
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 4)));
    drain(d, r);
    d.handleEvent(var(ev(170, 1, QStringLiteral("S1"), 3)));
    d.handleEvent(var(ev(170, 0, QStringLiteral("S2"), 3)));
    d.handleEvent(var(ev(170, 2, QStringLiteral("S3"), 3)));
    d.handleEvent(var(ev(100, 1, QStringLiteral("W"), 3)));
    d.handleEvent(var(ev(170, 0, QStringLiteral("T"), 4)));
    d.handleEvent(var(ev(100, 1, QStringLiteral("V"), 4)));

    d.handleEvent(var(ev(110, 1, QString(), 3)));
    QCOMPARE(codesOf(r.take()), QList<int>{1100});
    QVERIFY(d.processResetFollowUp());
    // Only the port's waiting class-17 restores go out at once.
    QCOMPARE(strCodesOf(r.take()), (QStringList{QStringLiteral("S2"), QStringLiteral("S3")}));
    QVERIFY(!d.isActiveKey(3, 1203, QStringLiteral("A")));
    QVERIFY(!d.isActiveKey(3, 1700, QStringLiteral("S1")));
    QVERIFY(d.isActiveKey(3, 8, QStringLiteral("K")));
    QVERIFY(d.isActiveKey(4, 1203, QStringLiteral("A")));
    QCOMPARE(d.code8Count(), 1);
    QStringList rest = strCodesOf(drain(d, r));
    rest.sort();
    QCOMPARE(rest, (QStringList{QStringLiteral("T"), QStringLiteral("V")}));

    const QList<CEvent> backlog = d.currentEvents();
    QCOMPARE(backlog.size(), 2);
    QCOMPARE(backlog.at(0).strCode, QStringLiteral("K"));
    QCOMPARE(backlog.at(0).nCom, quint8(3));
    QCOMPARE(backlog.at(1).nCom, quint8(4));
}

void TestEventPacing::portResetCode8FollowsIsControl()
{
    ServerContext::instance().isControl = true;
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(80, 1, QStringLiteral("K"), 3)));
    d.handleEvent(var(ev(81, 1, QStringLiteral("L"), 3))); // class 8, number 1800
    drain(d, r);
    d.handleEvent(var(ev(110, 1, QString(), 3)));
    QVERIFY(d.processResetFollowUp());
    QCOMPARE(d.activeCount(), 0);
    // The code-8 table and the number-8 key survive either way.
    QCOMPARE(d.code8Count(), 1);
    QVERIFY(d.isActiveKey(3, 8, QStringLiteral("K")));
    QVERIFY(!d.isActiveKey(3, 1800, QStringLiteral("L")));
}

void TestEventPacing::portResetTrimsFirstServed()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(80, 1, QStringLiteral("K3"), 3)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("K4"), 4)));
    drain(d, r);
    d.handleEvent(var(ev(110, 1, QString(), 0)));
    d.handleEvent(var(ev(110, 1, QString(), 3)));
    QCOMPARE(d.pendingResets(), 2);
    QVERIFY(d.processResetFollowUp()); // global: both re-queued first-served
    QCOMPARE(d.firstServedCount(), 2);
    QVERIFY(d.processResetFollowUp()); // port 3
    QCOMPARE(d.firstServedCount(), 1);
    r.take();
    QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("K4")});
    QCOMPARE(strCodesOf(d.currentEvents()), (QStringList{QStringLiteral("K3"), QStringLiteral("K4")}));
}

void TestEventPacing::capDropsOldestAtDelivery()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    const int n = CEventProcess::MaxActiveEvents + 1;
    for (int i = 0; i < n; ++i)
        d.handleEvent(var(ev(1, 1, QString::number(i))));
    QCOMPARE(drain(d, r).size(), n); // every event goes out
    const QList<CEvent> backlog = d.currentEvents();
    QCOMPARE(backlog.size(), CEventProcess::MaxActiveEvents);
    QCOMPARE(backlog.first().strCode, QStringLiteral("1"));
    // The dropped oldest is still an active condition: its repeat stays quiet.
    d.handleEvent(var(ev(1, 1, QStringLiteral("0"))));
    QCOMPARE(d.waitingCount(), 0);
}

void TestEventPacing::realTimersDriveDeliveryAndFollowUp()
{
    CEventProcess d;
    Recorder r(d);
    QVERIFY(d.timersEnabled());
    QVERIFY(d.isPacingActive());
    d.handleEvent(var(ev(100, 1, QStringLiteral("a"))));
    d.handleEvent(var(ev(100, 1, QStringLiteral("b"))));
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(r.count(), 2, 5000);
    // Two ticks at 40 ms: the second cannot come before about 80 ms.
    QVERIFY2(clock.elapsed() >= 70, qPrintable(QString::number(clock.elapsed())));
    r.take();

    d.handleEvent(var(ev(100, 1, QStringLiteral("c"))));
    d.handleEvent(var(ev(110, 1, QString(), 0)));
    QCOMPARE(codesOf(r.take()), QList<int>{1100});
    QVERIFY(!d.isPacingActive());
    QTRY_COMPARE_WITH_TIMEOUT(d.pendingResets(), 0, 5000);
    QVERIFY(d.isPacingActive());
    QCOMPARE(d.waitingCount(), 0); // "c" discarded by the global reset

    d.handleEvent(var(ev(100, 1, QStringLiteral("d"))));
    QTRY_COMPARE_WITH_TIMEOUT(r.count(), 1, 5000);
    QCOMPARE(strCodesOf(r.take()), QStringList{QStringLiteral("d")});
}

QTEST_GUILESS_MAIN(TestEventPacing)
#include "tst_ceventpacing.moc"
