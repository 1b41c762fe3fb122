// The panel manager: records and drivers by number, event completion from
// the event table, command hand-out, and the check of the listening models
// under an injected clock.

#include "common/standincontroller.h"
#include "config/configtables.h"
#include "core/cevent.h"
#include "panels/cpanelmanager.h"
#include "panels/fakelink.h"
#include "panels/models/birchframes.h"
#include "panels/models/controllerash.h"
#include "panels/models/controllerbirch.h"
#include "panels/models/controllerelm.h"
#include "panels/models/controllerjuniper.h"
#include "tools/sim/birchpanelsim.h"

#include <QPointer>
#include <QTemporaryDir>
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

QList<CEvent> events(const QSignalSpy &spy)
{
    QList<CEvent> out;
    for (const QList<QVariant> &args : spy)
        out << CEvent::fromVariant(args.at(0));
    return out;
}

// A simulated panel behind a fake link. The simulator runs in the driver's
// worker (the link's responder); the test reads what it parsed under the lock.
struct SimulatedPanel
{
    SimulatedPanel(int id, BirchPanelSim::Model model) : sim(id, model), link(new FakeLink)
    {
        link->setResponder([this](const QByteArray &bytes, QSerialPort::Parity) {
            QMutexLocker lock(&mutex);
            const QByteArray answer = sim.feed(bytes);
            received << sim.takeReceived();
            return answer;
        });
    }
    int commands(quint8 command)
    {
        QMutexLocker lock(&mutex);
        int n = 0;
        for (const BirchPanelSim::Received &r : qAsConst(received))
            n += r.type == BirchPanelSim::Received::Command && r.command == command ? 1 : 0;
        return n;
    }

    QMutex mutex;
    BirchPanelSim sim;                       // worker only
    QList<BirchPanelSim::Received> received; // under mutex
    FakeLink *link;                          // owned by the driver once installed
};

// A settable clock the manager reads instead of the wall clock.
struct ManualClock
{
    QDateTime now = QDateTime(QDate(2024, 5, 1), QTime(8, 0, 0));
    void advance(qint64 ms) { now = now.addMSecs(ms); }
};

} // namespace

class TestPanelManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString path = m_dir.filePath(QStringLiteral("EventConfig.xml"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<Config><EventType>
  <DevEvent EventData="3">
    <E ComData="1" EventData="11" name="fire" EventProperty="1"/>
  </DevEvent>
  <SysEvent EventData="0">
    <E ComData="2" EventData="12" name="classless" EventProperty="3"/>
  </SysEvent>
  <SysEvent EventData="9">
    <E ComData="17" EventData="13" name="comm" EventProperty="0" CommStatus="1"/>
  </SysEvent>
</EventType></Config>)");
        f.close();
        QVERIFY(ConfigTables::instance().loadEventTable(path));
    }

    void cleanup() { QTRY_COMPARE(StandInController::s_alive.loadRelaxed(), 0); }

    void typeWithoutModelKeepsRecordOnly()
    {
        CPanelManager manager;
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        manager.addController(record(3, 21, QStringLiteral("no model")));
        QVERIFY(manager.controllerInfo(3));
        QVERIFY(!manager.controller(3));
        QVERIFY(!manager.isPanelConnected(3));
        QVERIFY(!manager.openPanel(3));
        // The normal notice goes out even though nothing could be opened.
        QCOMPARE(spy.count(), 1);
        const CEvent e = events(spy).first();
        QCOMPARE(int(e.nPanelID), 3);
        QCOMPARE(e.nEventCode, 17);
        QCOMPARE(e.nEventProperty, 0);
        QVERIFY(QDateTime::fromString(e.strTime, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());

        // Removing it removes the record too, so a modified copy is accepted.
        manager.removeController(3);
        QVERIFY(!manager.controllerInfo(3));
        manager.addController(record(3, 21, QStringLiteral("modified")));
        QCOMPARE(manager.controllerInfo(3)->name, QStringLiteral("modified"));
    }

    void duplicateNumbersKeepTheFirst()
    {
        StandInPanelManager manager({22});
        manager.addController(record(5, 22, QStringLiteral("first")));
        QPointer<Controller> driver = manager.controller(5);
        manager.addController(record(5, 22, QStringLiteral("second")));
        // 261 has the same low 8 bits.
        manager.addController(record(261, 21, QStringLiteral("third")));
        QCOMPARE(manager.controllerIds(), QList<quint8>{5});
        QCOMPARE(manager.controllerInfo(5)->name, QStringLiteral("first"));
        QCOMPARE(manager.controller(5), driver.data());
        QCOMPARE(StandInController::s_alive.loadRelaxed(), 1);
    }

    void driverEventsAreCompletedFromTheTable()
    {
        StandInPanelManager manager({22});
        manager.addController(record(4, 22));
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));

        const auto driverEvent = [](int code, int type, int property) {
            CEvent e;
            e.nPanelID = 4;
            e.nEventCode = code;
            e.nEventType = type;
            e.nEventProperty = property;
            e.strCode = QStringLiteral("0102");
            return e;
        };
        StandInController *driver = manager.standIn(4);
        driver->emitFromDriver(driverEvent(1, 7, 5));   // class 3, property 1
        driver->emitFromDriver(driverEvent(2, 7, 5));   // class 0: the driver's class stays
        driver->emitFromDriver(driverEvent(17, 7, 1));  // CommStatus: the driver's property stays
        driver->emitFromDriver(driverEvent(99, 7, 5));  // unknown: property 0
        const QList<CEvent> out = events(spy);
        QCOMPARE(out.size(), 4);
        QCOMPARE(out.at(0).nEventType, 3);
        QCOMPARE(out.at(0).nEventProperty, 1);
        QCOMPARE(out.at(1).nEventType, 7);
        QCOMPARE(out.at(1).nEventProperty, 3);
        QCOMPARE(out.at(2).nEventType, 9);
        QCOMPARE(out.at(2).nEventProperty, 1);
        QCOMPARE(out.at(3).nEventType, 7);
        QCOMPARE(out.at(3).nEventProperty, 0);
        // Everything else passes unchanged.
        QCOMPARE(out.at(3).strCode, QStringLiteral("0102"));
        QCOMPARE(out.at(3).nEventCode, 99);
        QCOMPARE(int(out.at(3).nPanelID), 4);
    }

    void workerEventsArriveInTheMainThread()
    {
        StandInPanelManager manager({22});
        manager.addController(record(4, 22));
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        StandInController *driver = manager.standIn(4);
        driver->setDisconnectTimes(0); // every answered poll is a restore: code 100
        QVERIFY(manager.openPanel(4));
        QTRY_VERIFY(spy.count() >= 2);
        const CEvent e = events(spy).at(1);
        QCOMPARE(e.nEventCode, 100);
        QCOMPARE(e.nEventProperty, 0);
        manager.closePanel(4);
    }

    void openCloseAndRemove()
    {
        StandInPanelManager manager({22});
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        manager.addController(record(8, 22));
        manager.addController(record(9, 22));
        manager.standIn(9)->m_bOpenResult = false;

        QVERIFY(manager.openPanel(8));
        QVERIFY(manager.isPanelConnected(8));
        QVERIFY(manager.controller(8)->isRunning());
        QVERIFY(!manager.openPanel(9));
        QVERIFY(!manager.controller(9)->isRunning());

        // A number without a driver still reports the close.
        spy.clear();
        manager.closePanel(77);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(int(events(spy).first().nPanelID), 77);
        QCOMPARE(events(spy).first().nEventCode, 17);
        QCOMPARE(events(spy).first().nEventProperty, 1);

        // Removing an open controller closes it before deleting it.
        QPointer<StandInController> open = manager.standIn(8);
        manager.removeController(8);
        QVERIFY(open.isNull());
        QVERIFY(!manager.controllerInfo(8));
        QVERIFY(!manager.isPanelConnected(8));
        QCOMPARE(StandInController::s_alive.loadRelaxed(), 1);
    }

    void openAllAndCloseAll()
    {
        StandInPanelManager manager({22});
        manager.addController(record(1, 22));
        manager.addController(record(2, 22));
        manager.addController(record(3, 21));
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        manager.openAllPanels();
        QCOMPARE(spy.count(), 0);
        QVERIFY(manager.isPanelConnected(1));
        QVERIFY(manager.isPanelConnected(2));
        // Already open drivers are not opened twice.
        manager.openAllPanels();
        QCOMPARE(manager.standIn(1)->fake()->openCount(), 1);

        manager.closePanel(2);
        spy.clear();
        manager.closeAllPanels();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(int(events(spy).first().nPanelID), 1);
        QCOMPARE(events(spy).first().nEventProperty, 1);
        QVERIFY(!manager.isPanelConnected(1));
        QCOMPARE(manager.standIn(1)->m_closeCount.loadRelaxed(), 1);

        // Clearing with running drivers stops them first.
        manager.openAllPanels();
        QVERIFY(manager.controller(1)->isRunning());
        manager.clearControllers();
        QVERIFY(manager.controllerIds().isEmpty());
        QCOMPARE(StandInController::s_alive.loadRelaxed(), 0);
    }

    void commandGoesToEveryAnsweringDriver()
    {
        StandInPanelManager manager({22});
        manager.addController(record(1, 22));
        manager.addController(record(2, 22));
        manager.addController(record(3, 22));
        QVERIFY(manager.openPanel(1));
        QVERIFY(manager.openPanel(2));
        QVERIFY(manager.openPanel(3));
        manager.standIn(1)->setCommState(1);
        manager.standIn(2)->setCommState(1);
        // Driver 3 is open but its panel has not answered yet: it refuses.

        CEvent command;
        command.nEventCode = CmdSilence;
        command.nPanelID = 1;
        manager.slotHandleCommandData(command.toVariant());
        QTRY_COMPARE(manager.standIn(1)->m_silenceCount.loadRelaxed(), 1);
        QTRY_COMPARE(manager.standIn(2)->m_silenceCount.loadRelaxed(), 1);
        QCOMPARE(manager.standIn(3)->m_silenceCount.loadRelaxed(), 0);
        QCOMPARE(manager.standIn(3)->commandCount(), 0);
    }

    void typeTableBuildsTheRealModels()
    {
        CPanelManager manager;
        manager.addController(record(1, 22, QString(), 7));
        manager.addController(record(2, 41, QString(), 3));
        manager.addController(record(3, 240));
        QVERIFY(qobject_cast<ControllerBirch *>(manager.controller(1)));
        QVERIFY(qobject_cast<ControllerAsh *>(manager.controller(2)));
        QCOMPARE(manager.controller(1)->m_strPortName, QStringLiteral("COM7"));
        QCOMPARE(manager.controller(2)->m_strPortName, QStringLiteral("COM3"));
        QCOMPARE(manager.controller(2)->m_nControllerType, 41);
        QVERIFY(qobject_cast<ControllerElm *>(manager.controller(3)));
        QCOMPARE(qobject_cast<ControllerElm *>(manager.controller(3))->panelAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
        manager.addController(record(4, 250, QString(), 5));
        QVERIFY(qobject_cast<ControllerJuniper *>(manager.controller(4)));
        QCOMPARE(manager.controller(4)->m_strPortName, QStringLiteral("COM5"));
    }

    void oneCommandQueuedByTwoAnsweringDrivers()
    {
        CPanelManager manager;
        manager.addController(record(1, 22));
        manager.addController(record(2, 20));
        SimulatedPanel birch(1, BirchPanelSim::Birch);
        SimulatedPanel ash(2, BirchPanelSim::Ash);
        manager.controller(1)->setLink(birch.link);
        manager.controller(2)->setLink(ash.link);
        QVERIFY(manager.openPanel(1));
        QVERIFY(manager.openPanel(2));
        // Commands are taken only once a panel has answered.
        QTRY_COMPARE_WITH_TIMEOUT(manager.controller(1)->getCommState(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(manager.controller(2)->getCommState(), 1, 10000);

        CEvent command;
        command.nEventCode = CmdSilence;
        command.nPanelID = 1;
        manager.slotHandleCommandData(command.toVariant());
        const quint8 silence = quint8(BirchFrames::silenceFrame(1, 1).at(4));
        QTRY_COMPARE_WITH_TIMEOUT(birch.commands(silence), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(ash.commands(silence), 1, 10000);
        manager.closeAllPanels();
        QCOMPARE(birch.commands(silence), 1);
        QCOMPARE(ash.commands(silence), 1);
    }

    void remoteLightReachesType250Only()
    {
        StandInPanelManager manager({22, 250});
        manager.addController(record(1, 22));
        manager.addController(record(2, 250));
        manager.slotIndicateRemoteLight(2);
        QCOMPARE(manager.standIn(2)->m_lastLight.loadRelaxed(), 2);
        QCOMPARE(manager.standIn(1)->m_lastLight.loadRelaxed(), -1);
    }

    void listeningModelCommunicationCheck()
    {
        ManualClock clock;
        StandInPanelManager manager({22, 250});
        manager.setClock([&clock] { return clock.now; });
        manager.addController(record(6, 250));
        manager.addController(record(7, 22));   // polled: the check leaves it alone
        manager.addController(record(8, 250));  // never opened: nothing to judge
        QVERIFY(manager.openPanel(6));
        QVERIFY(manager.openPanel(7));
        StandInController *driver = manager.standIn(6);
        driver->setCommState(1);
        manager.standIn(7)->setTimeOutCount(0);
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));

        // 30 s of silence: the watchdog lowers the count every 3 s; checks
        // every 5 s see it reach 0 and report once.
        int silentSeconds = 0;
        const auto runSeconds = [&](int seconds) {
            for (int i = 0; i < seconds; ++i) {
                clock.advance(1000);
                ++silentSeconds;
                if (silentSeconds % 3 == 0)
                    driver->slothandleTimeOut();
                if (silentSeconds % 5 == 0)
                    manager.checkCommState();
            }
        };
        runSeconds(29);
        QCOMPARE(driver->getTimeOutCount(), 1);
        QCOMPARE(spy.count(), 0);
        runSeconds(31); // ends on a check
        QCOMPARE(driver->getTimeOutCount(), 0);
        QList<CEvent> out = events(spy);
        QCOMPARE(out.size(), 1);
        QCOMPARE(int(out.first().nPanelID), 6);
        QCOMPARE(out.first().nEventCode, 17);
        QCOMPARE(out.first().nEventProperty, 1);
        QCOMPARE(out.first().strNote, QStringLiteral("通讯超时"));
        QCOMPARE(out.first().strExtra, QStringLiteral("通讯超时"));
        QCOMPARE(driver->getCommState(), 0);

        // Bytes again: one normal notice at the next check.
        driver->fake()->inject(QByteArray("\x7e\x01", 2));
        QTRY_COMPARE(driver->getTimeOutCount(), 10);
        spy.clear();
        // Under a second after the last check: nothing happens yet.
        clock.advance(900);
        manager.checkCommState();
        QCOMPARE(spy.count(), 0);
        clock.advance(5000);
        manager.checkCommState();
        clock.advance(5000);
        manager.checkCommState();
        out = events(spy);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.first().nEventProperty, 0);
        QCOMPARE(out.first().strNote, QStringLiteral("通讯正常"));
        QCOMPARE(out.first().strTime, clock.now.addMSecs(-5000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        QCOMPARE(driver->getCommState(), 1);

        // A long stall or a clock going back: that check does nothing.
        for (int i = 0; i < 10; ++i)
            driver->slothandleTimeOut();
        spy.clear();
        clock.advance(31000);
        manager.checkCommState();
        clock.advance(-10000);
        manager.checkCommState();
        QCOMPARE(spy.count(), 0);
        clock.advance(5000);
        manager.checkCommState();
        QCOMPARE(spy.count(), 1);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestPanelManager)
#include "tst_cpanelmanager.moc"
