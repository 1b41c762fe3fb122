// The panel manager: records and drivers by number, event completion from
// the event table, command hand-out, and the check of the listening models
// under an injected clock.

#include "common/standincontroller.h"
#include "common/testfiles.h"
#include "config/configtables.h"
#include "panels/models/birchframes.h"
#include "tools/sim/birchpanelsim.h"

#include <QPointer>
#include <QtTest>

namespace {

ControllerInfo *record(int id, int type, const QString &name = QString(), quint8 port = 1)
{
    auto *info = new ControllerInfo;
    info->controllerId = id;
    info->controllerType = type;
    info->name = name;
    info->comPort = port;
    return info;
}

// Code * 10 + property of what the spy saw, and empties it.
QList<int> take(QSignalSpy &spy, QList<CEvent> *events = nullptr)
{
    QList<int> out;
    for (const QList<QVariant> &args : qAsConst(spy)) {
        const CEvent e = CEvent::fromVariant(args.at(0));
        out << e.nEventCode * 10 + e.nEventProperty;
        if (events)
            events->append(e);
    }
    spy.clear();
    return out;
}

} // namespace

class TestPanelManager : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(TestFiles::write(m_dir.filePath("EventConfig.xml"), R"(<Config><EventType>
  <DevEvent EventData="3"><E ComData="1" EventData="11" EventProperty="1"/></DevEvent>
  <SysEvent EventData="0"><E ComData="2" EventData="12" EventProperty="3"/></SysEvent>
  <SysEvent EventData="9"><E ComData="17" EventData="13" EventProperty="0" CommStatus="1"/></SysEvent>
</EventType></Config>)"));
        QVERIFY(ConfigTables::instance().loadEventTable(m_dir.filePath("EventConfig.xml")));
    }

    void cleanup() { QTRY_COMPARE(StandInController::s_alive.loadRelaxed(), 0); }

    void recordsAndDriversByNumber()
    {
        StandInPanelManager manager({22});
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        manager.addController(record(5, 22, QStringLiteral("first")));
        manager.addController(record(5, 22, QStringLiteral("second")));
        manager.addController(record(261, 21, QStringLiteral("same low 8 bits")));
        QCOMPARE(manager.controllerIds(), QList<quint8>{5});
        QCOMPARE(manager.controllerInfo(5)->name, QStringLiteral("first"));
        QCOMPARE(StandInController::s_alive.loadRelaxed(), 1);

        // A type without a model keeps its record only; opening it still
        // sends the normal notice.
        manager.addController(record(3, 21));
        QVERIFY(manager.controllerInfo(3) && !manager.controller(3));
        QVERIFY(!manager.openPanel(3));
        QList<CEvent> out;
        QCOMPARE(take(spy, &out), QList<int>{170});
        QCOMPARE(int(out.first().nPanelID), 3);
        QVERIFY(QDateTime::fromString(out.first().strTime, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());
        // Removing it removes the record too, so a modified copy is accepted.
        manager.removeController(3);
        manager.addController(record(3, 21, QStringLiteral("modified")));
        QCOMPARE(manager.controllerInfo(3)->name, QStringLiteral("modified"));
    }

    void driverEventsAreCompletedFromTheTable()
    {
        StandInPanelManager manager({22});
        manager.addController(record(4, 22));
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        StandInController *driver = manager.standIn(4);
        for (int code : {1, 2, 17, 99}) {
            CEvent e;
            e.nPanelID = 4;
            e.nEventCode = code;
            e.nEventType = 7;
            e.nEventProperty = code == 17 ? 1 : 5;
            e.strCode = QStringLiteral("0102");
            driver->emitFromDriver(e);
        }
        QList<CEvent> out;
        // Table class and property; class 0 keeps the driver's class;
        // CommStatus keeps the driver's property; an unknown code gets property 0.
        QCOMPARE(take(spy, &out), (QList<int>{11, 23, 171, 990}));
        QCOMPARE(QList<int>({out[0].nEventType, out[1].nEventType, out[2].nEventType, out[3].nEventType}), QList<int>({3, 7, 9, 7}));
        QCOMPARE(out[3].strCode, QStringLiteral("0102"));

        // From the worker thread they arrive in the main thread all the same.
        driver->setDisconnectTimes(0); // every answered poll is a restore: code 100
        QVERIFY(manager.openPanel(4));
        QTRY_VERIFY(spy.count() >= 2);
        QCOMPARE(take(spy).at(1), 1000);
        manager.closePanel(4);
    }

    void openCloseAndRemove()
    {
        StandInPanelManager manager({22});
        for (int id : {1, 2, 9})
            manager.addController(record(id, 22));
        manager.addController(record(3, 21));
        manager.standIn(9)->m_bOpenResult = false;
        QVERIFY(!manager.openPanel(9));
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        QVERIFY(!manager.controller(9)->isRunning());
        manager.openAllPanels();
        QVERIFY(manager.isPanelConnected(1) && manager.controller(2)->isRunning());
        manager.openAllPanels(); // open drivers are not opened twice
        QCOMPARE(manager.standIn(1)->fake()->openCount(), 1);
        QCOMPARE(spy.count(), 0);

        manager.closePanel(2);
        manager.closePanel(77); // a number without a driver still reports the close
        QList<CEvent> out;
        QCOMPARE(take(spy, &out), (QList<int>{171, 171}));
        QCOMPARE(int(out.at(1).nPanelID), 77);
        manager.closeAllPanels(); // only the open one
        QCOMPARE(take(spy, &out), QList<int>{171});
        QCOMPARE(int(out.last().nPanelID), 1);
        QCOMPARE(manager.standIn(1)->m_closeCount.loadRelaxed(), 1);

        // Removing or clearing running drivers closes them before deleting them.
        manager.openAllPanels();
        QPointer<StandInController> open = manager.standIn(1);
        manager.removeController(1);
        QVERIFY(open.isNull() && !manager.controllerInfo(1));
        QVERIFY(manager.controller(2)->isRunning());
        manager.clearControllers();
        QVERIFY(manager.controllerIds().isEmpty());
        QCOMPARE(StandInController::s_alive.loadRelaxed(), 0);
    }

    void oneCommandReachesEveryAnsweringDriver()
    {
        // Real models on fake links, the simulators answering in the workers.
        BirchPanelSim birch(1), ash(2);
        CPanelManager manager;
        manager.addController(record(1, 22));
        manager.addController(record(2, 20));
        QList<FakeLink *> links{new FakeLink, new FakeLink};
        links[0]->setResponder([&birch](const QByteArray &b, QSerialPort::Parity) { return birch.feed(b); });
        links[1]->setResponder([&ash](const QByteArray &b, QSerialPort::Parity) { return ash.feed(b); });
        manager.controller(1)->setLink(links[0]);
        manager.controller(2)->setLink(links[1]);
        QVERIFY(manager.openPanel(1) && manager.openPanel(2));
        // Commands are taken only once a panel has answered.
        QTRY_COMPARE_WITH_TIMEOUT(manager.controller(1)->getCommState() + manager.controller(2)->getCommState(), 2, 10000);
        CEvent command;
        command.nEventCode = CmdSilence;
        command.nPanelID = 1;
        manager.slotHandleCommandData(command.toVariant());
        QTRY_VERIFY_WITH_TIMEOUT(links[0]->writtenData().contains(BirchFrames::silenceFrame(1, 1)), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(links[1]->writtenData().contains(BirchFrames::silenceFrame(2, 1)), 10000);
        manager.closeAllPanels();
        QCOMPARE(links[0]->writtenData().count(BirchFrames::silenceFrame(1, 1)), 1);
        QCOMPARE(links[1]->writtenData().count(BirchFrames::silenceFrame(2, 1)), 1);
    }

    void listeningModelCheckAndRemoteLamp()
    {
        QDateTime now(QDate(2024, 5, 1), QTime(8, 0, 0));
        StandInPanelManager manager({22, 250});
        manager.setClock([&now] { return now; });
        manager.addController(record(6, 250));
        manager.addController(record(7, 22));  // polled: the check leaves it alone
        manager.addController(record(8, 250)); // never opened: nothing to judge
        QVERIFY(manager.openPanel(6) && manager.openPanel(7));
        manager.slotIndicateRemoteLight(2);
        QCOMPARE(manager.standIn(6)->m_lastLight.loadRelaxed(), 2);
        QCOMPARE(manager.standIn(7)->m_lastLight.loadRelaxed(), -1);

        // Never heard since open: no normal notice, only the timeout.
        StandInController *driver = manager.standIn(6);
        manager.standIn(7)->setTimeOutCount(0);
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        // Silence: the watchdog lowers the count every 3 s, the check runs every 5 s.
        const auto runSeconds = [&](int from, int to) {
            for (int s = from + 1; s <= to; ++s) {
                now = now.addSecs(1);
                if (s % 3 == 0)
                    driver->slothandleTimeOut();
                if (s % 5 == 0)
                    manager.checkCommState();
            }
        };
        runSeconds(0, 29);
        QCOMPARE(spy.count(), 0);
        runSeconds(29, 60);
        QList<CEvent> out;
        QCOMPARE(take(spy, &out), QList<int>{171}); // once, for number 6
        QCOMPARE(int(out.first().nPanelID), 6);
        QCOMPARE(out.first().strNote, QStringLiteral("通讯超时"));
        QCOMPARE(out.first().strExtra, QStringLiteral("通讯超时"));
        QCOMPARE(driver->getCommState(), 0);

        // Bytes again: one normal notice at the next check, but not within a
        // second of the last one.
        driver->fake()->inject(QByteArray("\x7e\x01", 2));
        QTRY_COMPARE(driver->getTimeOutCount(), 10);
        now = now.addMSecs(900);
        manager.checkCommState();
        QCOMPARE(spy.count(), 0);
        for (int i = 0; i < 2; ++i) {
            now = now.addSecs(5);
            manager.checkCommState();
        }
        out.clear();
        QCOMPARE(take(spy, &out), QList<int>{170});
        QCOMPARE(out.first().strNote, QStringLiteral("通讯正常"));
        QCOMPARE(out.first().strTime, now.addSecs(-5).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));

        // A long stall or a clock going back: that check does nothing.
        for (int i = 0; i < 10; ++i)
            driver->slothandleTimeOut();
        now = now.addSecs(31);
        manager.checkCommState();
        now = now.addSecs(-10);
        manager.checkCommState();
        QCOMPARE(spy.count(), 0);
        now = now.addSecs(5);
        manager.checkCommState();
        QCOMPARE(spy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPanelManager)
#include "tst_cpanelmanager.moc"
