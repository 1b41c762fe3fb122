// Filtering, renumbering and condition bookkeeping of the event dispatcher.

#include "dispatcherfixture.h"

#include "core/servercontext.h"

#include <QtTest>

using namespace dispatchertest;

namespace {
QStringList g_messages;
QtMessageHandler g_previous = nullptr;

// Keeps warnings and the dispatcher's trace for inspection instead of printing them.
void capture(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (type == QtWarningMsg || QString::fromLatin1(ctx.category ? ctx.category : "") == QLatin1String("fire.dispatcher"))
        g_messages.append(msg);
}
} // namespace

class TestEventProcess : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void renumbersFromTheTable();
    void dropsUnusableEntries();
    void repeatsOfActiveConditions();
    void communicationStateIsPerPanel();
    void exemptNumbersAreDeliveredAgain();
    void deviceKeyUsesEndCodeOnlyWhenMeaningful();
    void exactRestoreClearsKeyListAndCode8();
    void wildcardRestoreForClasses4And8();
    void wildcardRestoreOfOtherClassesRestoresNothing();
    void restoreCancelsWaitingPresence();
    void listClassesRemoveOldestOpenEntry();
    void restore7101ClearsEveryNumberOfThePort();
    void restoreAllExpandsToActiveNumbers();
    void restoreAllDoesNotRecurse();
    void badInputIsDroppedWithoutGrowth();
    void queueWarningOnce();
    void trackedKeysAreCapped();

private:
    QTemporaryDir m_dir;
};

void TestEventProcess::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The per-event trace would flood the test output.
    QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=false"));
}

void TestEventProcess::init()
{
    QVERIFY(loadTable(m_dir));
    ServerContext::instance().isControl = false;
}

void TestEventProcess::cleanup()
{
    ConfigTables::instance().clear();
}

void TestEventProcess::renumbersFromTheTable()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    QSignalSpy accepted(&d, &CEventProcess::receiveEvent);

    CEvent in = ev(1, 1, QStringLiteral("01020304"), 3, 7);
    in.nLoop = 2;
    in.nAddress = 45;
    in.strNote = QStringLiteral("一层大厅");
    d.handleEvent(var(in));
    QCOMPARE(r.count(), 0); // paced, not sent at once
    QCOMPARE(accepted.count(), 1);

    const QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 1);
    CEvent expected = in;
    expected.nEventCode = 1203;
    expected.nEventType = 1;
    QCOMPARE(out.first(), expected);
    QCOMPARE(d.currentEvents(), QList<CEvent>{expected});
}

void TestEventProcess::dropsUnusableEntries()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    QSignalSpy accepted(&d, &CEventProcess::receiveEvent);

    d.handleEvent(var(ev(3, 1, QStringLiteral("A")))); // empty number
    d.handleEvent(var(ev(4, 1, QStringLiteral("B")))); // number 0
    d.handleEvent(var(ev(6, 1, QStringLiteral("C")))); // negative number
    d.handleEvent(var(ev(12345, 1, QStringLiteral("D")))); // unknown code
    d.handleEvent(var(ev(0, 1, QStringLiteral("E"))));
    QCOMPARE(d.waitingCount(), 0);
    QCOMPARE(drain(d, r).size(), 0);
    QCOMPARE(accepted.count(), 0);
    QCOMPARE(d.activeCount(), 0);

    // With an empty table everything is dropped.
    ConfigTables::instance().clear();
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"))));
    QCOMPARE(d.waitingCount(), 0);
}

void TestEventProcess::repeatsOfActiveConditions()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);

    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1)));
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1))); // repeat
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 2))); // other port
    d.handleEvent(var(ev(40, 1, QStringLiteral("A"), 1))); // other number
    d.handleEvent(var(ev(1, 3, QStringLiteral("A"), 1))); // odd property 3 is a presence too
    QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 3);
    QCOMPARE(d.activeCount(), 3);
    QVERIFY(d.isActiveKey(1, 1203, QStringLiteral("A")));
    QVERIFY(d.isActiveKey(2, 1203, QStringLiteral("A")));
    QVERIFY(d.isActiveKey(1, 1300, QStringLiteral("A")));

    // Still a repeat after delivery, until restored.
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1)));
    QCOMPARE(drain(d, r).size(), 0);
    d.handleEvent(var(ev(1, 0, QStringLiteral("A"), 1)));
    d.handleEvent(var(ev(1, 1, QStringLiteral("A"), 1)));
    out = drain(d, r);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).nEventProperty, 0);
    QCOMPARE(out.at(1).nEventProperty, 1);
}

void TestEventProcess::communicationStateIsPerPanel()
{
    // Losses and restores of communication carry no device code and nCom 0:
    // each panel's must still be a condition of its own.
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(170, 1, QString(""), 0, 1)));
    d.handleEvent(var(ev(170, 1, QString(""), 0, 2))); // another panel, not a repeat
    d.handleEvent(var(ev(170, 1, QString(""), 0, 2))); // a real repeat
    QCOMPARE(drain(d, r).size(), 2);
    QCOMPARE(d.activeCount(), 2);

    d.handleEvent(var(ev(170, 0, QString(""), 0, 1))); // panel 1 is back
    const QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.first().nPanelID, quint8(1));
    const QList<CEvent> still = d.currentEvents();
    QCOMPARE(still.size(), 1);
    QCOMPARE(still.first().nPanelID, quint8(2));

    // A restore waiting with panel 2's loss in the queue cancels only its own panel's.
    d.handleEvent(var(ev(170, 1, QString(""), 0, 1)));
    d.handleEvent(var(ev(170, 0, QString(""), 0, 2)));
    const QList<CEvent> last = drain(d, r);
    QCOMPARE(last.size(), 2);
    QCOMPARE(last.at(0).nPanelID, quint8(1));
    QCOMPARE(last.at(1).nPanelID, quint8(2));
}

void TestEventProcess::exemptNumbersAreDeliveredAgain()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    for (int i = 0; i < 3; ++i) {
        d.handleEvent(var(ev(20, 1, QStringLiteral("X")))); // 7101
        d.handleEvent(var(ev(21, 1, QStringLiteral("X")))); // 7115
        d.handleEvent(var(ev(22, 1, QStringLiteral("X")))); // 7102
    }
    const QList<int> codes = codesOf(drain(d, r));
    QCOMPARE(codes.count(7101), 3);
    QCOMPARE(codes.count(7115), 3);
    QCOMPARE(codes.count(7102), 1);
    // Active once each, however often it went out.
    QCOMPARE(d.activeCount(), 3);

    const QList<int> exempt{7100, 7101, 7111, 7112, 7114, 7115, 7116, 7117, 7118};
    for (int n = 7095; n <= 7125; ++n)
        QCOMPARE(CEventProcess::isRepeatExempt(n), exempt.contains(n));
}

void TestEventProcess::deviceKeyUsesEndCodeOnlyWhenMeaningful()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);

    d.handleEvent(var(ev(1, 1, QStringLiteral("D1"), 1, 1, QStringLiteral("00000017"))));
    QVERIFY(d.isActiveKey(1, 1203, QStringLiteral("D1")));
    d.handleEvent(var(ev(1, 1, QStringLiteral("D1")))); // same key: repeat
    d.handleEvent(var(ev(1, 1, QStringLiteral("D1"), 1, 1, QStringLiteral("D1")))); // end equal: same key
    d.handleEvent(var(ev(1, 1, QStringLiteral("D1"), 1, 1, QStringLiteral("E9")))); // new key
    QVERIFY(d.isActiveKey(1, 1203, QStringLiteral("D1E9")));
    d.handleEvent(var(ev(1, 1, QStringLiteral("D1"), 1, 1, QStringLiteral("00000E9")))); // 5 zeros only
    QVERIFY(d.isActiveKey(1, 1203, QStringLiteral("D100000E9")));
    QCOMPARE(drain(d, r).size(), 3);
}

void TestEventProcess::exactRestoreClearsKeyListAndCode8()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);

    d.handleEvent(var(ev(80, 1, QStringLiteral("K1"), 1))); // number 8, class 8
    d.handleEvent(var(ev(1, 1, QStringLiteral("K1"), 2)));  // same device code elsewhere
    d.handleEvent(var(ev(80, 1, QStringLiteral("K2"), 1)));
    QCOMPARE(drain(d, r).size(), 3);
    QCOMPARE(d.code8Count(), 2);
    QCOMPARE(d.activeCount(), 3);

    d.handleEvent(var(ev(80, 0, QStringLiteral("K1"), 1)));
    QVERIFY(!d.isActiveKey(1, 8, QStringLiteral("K1")));
    QVERIFY(d.isActiveKey(2, 1203, QStringLiteral("K1"))); // only its own port and number
    QCOMPARE(d.code8Count(), 1);
    // Every backlog entry of that device code goes.
    QCOMPARE(strCodesOf(d.currentEvents()), QStringList{QStringLiteral("K2")});
    const QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 1); // the restore itself is delivered
    QCOMPARE(out.first().nEventProperty, 0);

    d.handleEvent(var(ev(80, 0, QStringLiteral("K2"), 1)));
    QCOMPARE(d.code8Count(), 0);
}

void TestEventProcess::wildcardRestoreForClasses4And8()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    const QStringList keys{QStringLiteral("abc1e"), QStringLiteral("ABC2E"), QStringLiteral("aBcfE"),
                           QStringLiteral("abd1e"), QStringLiteral("abc1e1"), QStringLiteral("abc1")};
    for (const QString &k : keys)
        d.handleEvent(var(ev(40, 1, k, 5)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("abc1e"), 6))); // other port
    QCOMPARE(drain(d, r).size(), 7);

    d.handleEvent(var(ev(40, 0, QStringLiteral("abc*e"), 5)));
    QVERIFY(!d.isActiveKey(5, 1300, QStringLiteral("abc1e")));
    QVERIFY(!d.isActiveKey(5, 1300, QStringLiteral("ABC2E")));
    QVERIFY(!d.isActiveKey(5, 1300, QStringLiteral("aBcfE")));
    QVERIFY(d.isActiveKey(5, 1300, QStringLiteral("abd1e")));
    QVERIFY(d.isActiveKey(5, 1300, QStringLiteral("abc1e1")));
    QVERIFY(d.isActiveKey(5, 1300, QStringLiteral("abc1")));
    QVERIFY(d.isActiveKey(6, 1300, QStringLiteral("abc1e")));
    QCOMPARE(d.activeKeyCount(), 4);
    // Backlog entries of the restored devices go as with an exact restore
    // (by device code, so also the other port's entry of "abc1e").
    QCOMPARE(strCodesOf(d.currentEvents()),
             (QStringList{QStringLiteral("abd1e"), QStringLiteral("abc1e1"), QStringLiteral("abc1")}));
    // A pattern restore is never a repeat.
    QCOMPARE(drain(d, r).size(), 1);

    // Keys that arrive or go after the first pattern are matched the same way.
    d.handleEvent(var(ev(40, 1, QStringLiteral("abc9e"), 5)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("ABC9F"), 5)));
    d.handleEvent(var(ev(40, 0, QStringLiteral("abd1e"), 5)));
    d.handleEvent(var(ev(40, 0, QStringLiteral("ABC*E"), 5)));
    d.handleEvent(var(ev(40, 0, QStringLiteral("abd*e"), 5)));
    QVERIFY(!d.isActiveKey(5, 1300, QStringLiteral("abc9e")));
    QVERIFY(d.isActiveKey(5, 1300, QStringLiteral("ABC9F")));
    d.handleEvent(var(ev(40, 0, QStringLiteral("*bc1e1"), 5))); // leading wildcard
    QVERIFY(!d.isActiveKey(5, 1300, QStringLiteral("abc1e1")));
    QCOMPARE(d.activeKeyCount(), 3); // abc1 and ABC9F on port 5, abc1e on port 6
    drain(d, r);

    // Class 8 too, with several wildcards; code-8 entries go with the keys.
    d.handleEvent(var(ev(80, 1, QStringLiteral("F0A1"), 5)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("f0b2"), 5)));
    d.handleEvent(var(ev(80, 1, QStringLiteral("E0A1"), 5)));
    QCOMPARE(d.code8Count(), 3);
    d.handleEvent(var(ev(80, 0, QStringLiteral("F0**"), 5)));
    QVERIFY(d.isActiveKey(5, 8, QStringLiteral("E0A1")));
    QVERIFY(!d.isActiveKey(5, 8, QStringLiteral("F0A1")));
    QVERIFY(!d.isActiveKey(5, 8, QStringLiteral("f0b2")));
    QCOMPARE(d.code8Count(), 1);
}

void TestEventProcess::wildcardRestoreOfOtherClassesRestoresNothing()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(1, 1, QStringLiteral("abc1e"))));   // class 1
    d.handleEvent(var(ev(170, 1, QStringLiteral("abc2e")))); // class 17
    drain(d, r);
    d.handleEvent(var(ev(1, 0, QStringLiteral("abc*e"))));
    d.handleEvent(var(ev(170, 0, QStringLiteral("abc*e"))));
    QVERIFY(d.isActiveKey(1, 1203, QStringLiteral("abc1e")));
    QVERIFY(d.isActiveKey(1, 1700, QStringLiteral("abc2e")));
    QCOMPARE(d.activeCount(), 2);
    // The restores themselves still go out.
    QCOMPARE(drain(d, r).size(), 2);
}

void TestEventProcess::restoreCancelsWaitingPresence()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    // Number 8 of class 8: the restore searches the class-8 queue.
    d.handleEvent(var(ev(80, 1, QStringLiteral("P1"))));
    d.handleEvent(var(ev(80, 1, QStringLiteral("P2"))));
    QCOMPARE(d.waitingCount(8), 2);
    d.handleEvent(var(ev(80, 0, QStringLiteral("P1"))));
    QCOMPARE(d.waitingCount(8), 1); // presence gone, restore dropped
    QVERIFY(!d.isActiveKey(1, 8, QStringLiteral("P1")));
    QCOMPARE(d.code8Count(), 1);
    QCOMPARE(strCodesOf(drain(d, r)), QStringList{QStringLiteral("P2")});

    // Number 1300 has no queue of its own: the restore is delivered and the
    // presence waiting in the class-4 queue stays.
    d.handleEvent(var(ev(40, 1, QStringLiteral("P3"))));
    d.handleEvent(var(ev(40, 0, QStringLiteral("P3"))));
    const QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).nEventProperty, 1);
    QCOMPARE(out.at(1).nEventProperty, 0);
}

void TestEventProcess::listClassesRemoveOldestOpenEntry()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    CEvent a1 = ev(130, 1, QStringLiteral("a1"), 1, 1);
    CEvent b = ev(130, 1, QStringLiteral("b"), 1, 2);
    CEvent a2 = ev(130, 1, QStringLiteral("a2"), 1, 1);
    CEvent other = ev(140, 1, QStringLiteral("c"), 1, 1);
    for (const CEvent &e : {a1, b, a2, other, a2})
        d.handleEvent(var(e)); // never repeats
    QCOMPARE(d.activeCount(), 5);

    d.handleEvent(var(ev(130, 0, QStringLiteral("zz"), 1, 1)));
    QCOMPARE(strCodesOf(d.currentEvents()),
             (QStringList{QStringLiteral("b"), QStringLiteral("a2"), QStringLiteral("c"), QStringLiteral("a2"),
                          QStringLiteral("zz")}));
    d.handleEvent(var(ev(130, 0, QStringLiteral("yy"), 1, 9))); // nothing open on panel 9
    QCOMPARE(d.activeCount(), 6);
    QCOMPARE(drain(d, r).size(), 7);
}

void TestEventProcess::restore7101ClearsEveryNumberOfThePort()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(1, 1, QStringLiteral("M"), 4)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("M"), 4)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("N"), 4)));
    d.handleEvent(var(ev(40, 1, QStringLiteral("M"), 5)));
    drain(d, r);

    d.handleEvent(var(ev(20, 0, QStringLiteral("M"), 4)));
    QVERIFY(!d.isActiveKey(4, 1203, QStringLiteral("M")));
    QVERIFY(!d.isActiveKey(4, 1300, QStringLiteral("M")));
    QVERIFY(d.isActiveKey(4, 1300, QStringLiteral("N")));
    QVERIFY(d.isActiveKey(5, 1300, QStringLiteral("M")));
    QCOMPARE(strCodesOf(d.currentEvents()), QStringList{QStringLiteral("N")});
    QCOMPARE(codesOf(drain(d, r)), QList<int>{7101});
}

void TestEventProcess::restoreAllExpandsToActiveNumbers()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(47, 1, QStringLiteral("R"), 2))); // number 7
    d.handleEvent(var(ev(66, 1, QStringLiteral("R"), 2))); // number 6
    d.handleEvent(var(ev(55, 1, QStringLiteral("R"), 3))); // number 5 on another port
    drain(d, r);

    QSignalSpy accepted(&d, &CEventProcess::receiveEvent);
    g_messages.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=true"));
    g_previous = qInstallMessageHandler(capture);
    d.handleEvent(var(ev(900, 0, QStringLiteral("R"), 2)));
    qInstallMessageHandler(g_previous);
    QLoggingCategory::setFilterRules(QStringLiteral("fire.dispatcher.debug=false"));

    // Trace lines: the original, then the copies under 913 and 916.
    const QStringList traces = g_messages.filter(QStringLiteral("handleEvent: CEvent("));
    QCOMPARE(traces.size(), 3);
    QVERIFY(traces.at(0).contains(QLatin1String("code=900")));
    QVERIFY(traces.at(1).contains(QLatin1String("code=913")));
    QVERIFY(traces.at(2).contains(QLatin1String("code=916")));

    QCOMPARE(accepted.count(), 2);
    const CEvent first = CEvent::fromVariant(accepted.at(0).at(0));
    const CEvent second = CEvent::fromVariant(accepted.at(1).at(0));
    QCOMPARE(first.nEventCode, 7);
    QCOMPARE(second.nEventCode, 6);
    QVERIFY(!d.isActiveKey(2, 7, QStringLiteral("R")));
    QVERIFY(!d.isActiveKey(2, 6, QStringLiteral("R")));
    QVERIFY(d.isActiveKey(3, 5, QStringLiteral("R")));

    const QList<CEvent> out = drain(d, r);
    QCOMPARE(out.size(), 2);
    QVERIFY(!codesOf(out).contains(9000));
}

void TestEventProcess::restoreAllDoesNotRecurse()
{
    // A table whose 913 is itself a restore-all entry.
    QByteArray xml = eventTableXml();
    xml.replace("ComData=\"913\" EventData=\"7\"", "ComData=\"913\" EventData=\"7\" bIsRestoreAll=\"1\"");
    QVERIFY(loadTable(m_dir, xml));
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(var(ev(47, 1, QStringLiteral("R"))));
    d.handleEvent(var(ev(66, 1, QStringLiteral("R"))));
    drain(d, r);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("restore-all code 913")));
    d.handleEvent(var(ev(900, 0, QStringLiteral("R"))));
    QCOMPARE(codesOf(drain(d, r)), QList<int>{6}); // 913 dropped, 916 dispatched
}

void TestEventProcess::badInputIsDroppedWithoutGrowth()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    d.handleEvent(QVariant());
    d.handleEvent(QVariant(42));
    d.handleEvent(QVariant(QStringLiteral("not an event")));
    d.handleEvent(var(CEvent()));
    d.handleEvent(var(ev(1, -1, QStringLiteral("neg")))); // negative odd: dropped
    d.handleEvent(var(ev(1, -7, QStringLiteral("neg"))));
    QCOMPARE(d.waitingCount(), 0);
    QCOMPARE(d.activeKeyCount(), 0);
    d.handleEvent(var(ev(1, -2, QStringLiteral("neg")))); // negative even: a restore
    QCOMPARE(d.waitingCount(), 1);

    const QString huge(1 << 20, QLatin1Char('7'));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("device code of 1048576")));
    d.handleEvent(var(ev(1, 1, huge)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("exceeds 256")));
    d.handleEvent(var(ev(1, 1, QStringLiteral("ok"), 1, 1, huge)));
    QCOMPARE(d.waitingCount(), 1);
    const QString longest(CEventProcess::MaxCodeLength, QLatin1Char('8'));
    d.handleEvent(var(ev(1, 1, longest)));
    QVERIFY(d.isActiveKey(1, 1203, longest));

    // The backlog never passes its cap, even before anything is delivered.
    for (int i = 0; i < CEventProcess::MaxActiveEvents + 500; ++i)
        d.handleEvent(var(ev(40, 1, QString::number(i))));
    QCOMPARE(d.activeCount(), CEventProcess::MaxActiveEvents);
    QCOMPARE(d.currentEvents().first().strCode, QStringLiteral("500"));
    QCOMPARE(d.currentEvents().last().strCode, QString::number(CEventProcess::MaxActiveEvents + 499));
}

void TestEventProcess::queueWarningOnce()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    Recorder r(d);
    g_messages.clear();
    g_previous = qInstallMessageHandler(capture);
    for (int i = 0; i < CEventProcess::QueueWarnThreshold + 50; ++i)
        d.handleEvent(var(ev(100, 1, QStringLiteral("x")))); // class 10: untracked, never a repeat
    qInstallMessageHandler(g_previous);
    QCOMPARE(g_messages.filter(QStringLiteral("holds more than 10000")).size(), 1);
    QCOMPARE(d.waitingCount(10), CEventProcess::QueueWarnThreshold + 50);
    QCOMPARE(d.activeCount(), 0);
}

void TestEventProcess::trackedKeysAreCapped()
{
    CEventProcess d;
    d.setTimersEnabled(false);
    g_messages.clear();
    g_previous = qInstallMessageHandler(capture);
    const int n = CEventProcess::MaxTrackedKeys + 10;
    for (int i = 0; i < n; ++i)
        d.handleEvent(var(ev(1, 1, QString::number(i))));
    qInstallMessageHandler(g_previous);
    QCOMPARE(d.activeKeyCount(), CEventProcess::MaxTrackedKeys);
    QCOMPARE(g_messages.filter(QStringLiteral("delivered but not tracked")).size(), 1);
    // Past the cap a condition is still delivered, only not tracked.
    QCOMPARE(d.waitingCount(1), n);
    QCOMPARE(d.activeCount(), CEventProcess::MaxActiveEvents);
}

QTEST_GUILESS_MAIN(TestEventProcess)
#include "tst_ceventprocess.moc"
