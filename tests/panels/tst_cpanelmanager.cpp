// The panel manager: records and drivers by number, event completion from
// the event table, command hand-out, and the check of the listening models
// under an injected clock.

#include "common/standincontroller.h"
#include "common/testfiles.h"
#include "config/configtables.h"
#include "panels/models/birchframes.h"
#include "panels/models/controllerelm.h"
#include "panels/models/elmframes.h"
#include "tools/sim/birchpanelsim.h"
#include "tools/sim/glenpanelsim.h"

#include <QPointer>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>

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
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
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
        // Numbered from the table like a driver's event, but a notice: no class.
        QCOMPARE(QList<int>({out.first().nEventNo, out.first().nEventType}), QList<int>({13, 0}));
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
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
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
        QCOMPARE(QList<int>({out[0].nEventNo, out[1].nEventNo, out[2].nEventNo, out[3].nEventNo}), QList<int>({11, 12, 13, -1}));

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
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
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

    void commandsReachOnlyThePanelTheyName()
    {
        // Real models on fake links, the simulators answering in the workers:
        // two Birch panels and a Glen panel fronting a network in which it
        // reports a panel 7.
        BirchPanelSim birch1(1), birch2(2);
        GlenPanelSim glen(3);
        glen.addBlock({GlenPanelSim::longRecord(7, 1, 2)});
        CPanelManager manager;
        QSignalSpy events(&manager, &CPanelManager::sendEvent);
        manager.addController(record(1, 22));
        manager.addController(record(2, 22));
        manager.addController(record(3, 31));
        QList<FakeLink *> links{new FakeLink, new FakeLink, new FakeLink};
        links[0]->setResponder([&birch1](const QByteArray &b, QSerialPort::Parity) { return birch1.feed(b); });
        links[1]->setResponder([&birch2](const QByteArray &b, QSerialPort::Parity) { return birch2.feed(b); });
        links[2]->setResponder([&glen](const QByteArray &b, QSerialPort::Parity) { return glen.feed(b); });
        for (quint8 id : {1, 2, 3}) {
            manager.controller(id)->setLink(links[id - 1]);
            QVERIFY(manager.openPanel(id));
        }
        // Commands are taken only once a panel has answered.
        QTRY_COMPARE_WITH_TIMEOUT(manager.controller(1)->getCommState() + manager.controller(2)->getCommState()
                                      + manager.controller(3)->getCommState(), 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(events.cbegin(), events.cend(), [](const QList<QVariant> &a) {
                                     return CEvent::fromVariant(a.at(0)).nPanelID == 7;
                                 }), 10000);
        const auto command = [](int code, quint8 panel, const QString &device = QString()) {
            CEvent c;
            c.nEventCode = code;
            c.nPanelID = panel;
            c.strCode = c.strEndCode = device;
            return c;
        };
        const auto glenCommands = [&glen] {
            QList<QByteArray> out;
            for (const GlenReceived &r : glen.takeReceived()) {
                if (r.type == GlenReceived::Command)
                    out << r.bytes;
            }
            return out;
        };

        QCOMPARE(manager.sendCommand(command(CmdDisable, 2, QStringLiteral("00001020304"))).queued, 1);
        const QByteArray disable = BirchFrames::deviceStateFrame(2, 1, 0x0B, QByteArray::fromHex("01020304"));
        QTRY_VERIFY_WITH_TIMEOUT(links[1]->writtenData().contains(disable), 10000);
        // Panel 0: site-wide commands go to every panel, device commands to none.
        QCOMPARE(manager.sendCommand(command(CmdSilence, 0)).queued, 3);
        QTRY_VERIFY_WITH_TIMEOUT(links[0]->writtenData().contains(BirchFrames::silenceFrame(1, 1)), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(links[1]->writtenData().contains(BirchFrames::silenceFrame(2, 2)), 10000);
        QList<QByteArray> toGlen;
        QTRY_VERIFY_WITH_TIMEOUT((toGlen += glenCommands()).size() == 1, 10000);
        QCOMPARE(toGlen.at(0).mid(8, 3), QByteArray::fromHex("c10003")); // silence, controller 3
        // A panel of the network: its own number in the frame.
        QVERIFY(manager.sendCommand(command(CmdReset, 7)).ok());
        QTRY_VERIFY_WITH_TIMEOUT((toGlen += glenCommands()).size() == 2, 10000);
        QCOMPARE(toGlen.at(1).mid(8, 3), QByteArray::fromHex("c20007"));
        LogCapture log;
        const CPanelManager::CommandResult none = manager.sendCommand(command(CmdDisable, 0, QStringLiteral("00001020304")));
        const CPanelManager::CommandResult unknown = manager.sendCommand(command(CmdSilence, 9));
        QVERIFY(!none.ok() && !unknown.ok() && none.queued + unknown.queued == 0);
        QCOMPARE(log.count("reaches no panel"), 2);
        QCOMPARE(manager.commandsUnrouted(), quint64(2));

        manager.closeAllPanels();
        // Panel 1's first command was the silence (sequence 1): the disable never reached it.
        QVERIFY(!links[0]->writtenData().contains(BirchFrames::deviceStateFrame(1, 1, 0x0B, QByteArray::fromHex("01020304"))));
        QCOMPARE(links[1]->writtenData().count(disable), 1);
        QCOMPARE(links[0]->writtenData().count(BirchFrames::silenceFrame(1, 1)), 1);
        QCOMPARE(links[1]->writtenData().count(BirchFrames::silenceFrame(2, 2)), 1);
        QCOMPARE(toGlen.size() + glenCommands().size(), 2);
    }

    void listeningPanelThatOnlyTalksGarbageIsAFault()
    {
        // An Elm panel on loopback whose datagrams all fail their CRC: bytes
        // arrive, so the link looks alive, but nothing can be read.
        QDateTime now(QDate(2024, 5, 1), QTime(8, 0, 0));
        CPanelManager manager;
        manager.setClock([&now] { return now; });
        ControllerInfo *info = record(5, 240);
        info->netAddress = QStringLiteral("0/127.0.0.1:9002");
        manager.addController(info);
        auto *elm = qobject_cast<ControllerElm *>(manager.controller(5));
        QUdpSocket panel;
        QVERIFY(elm && panel.bind(QHostAddress(QHostAddress::LocalHost), 0));
        elm->setPorts(0, panel.localPort());
        QVERIFY(manager.openPanel(5));
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
        const QByteArray good = ElmFrames::appendCrc(QByteArray::fromHex("7e01010103000005"));
        QByteArray bad = good;
        bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x01);
        const auto sendAndWait = [&](const QByteArray &d) {
            const quint64 invalid = elm->invalidFrames();
            const quint64 heard = elm->bytesReceived();
            panel.writeDatagram(d, QHostAddress::LocalHost, elm->localPort());
            return QTest::qWaitFor([&] {
                return elm->invalidFrames() > invalid || (d == good && elm->bytesReceived() > heard);
            }, 5000);
        };
        // A bad datagram every 3 s (the watchdog's period), a check every 5 s.
        for (int s = 1; s <= 45; ++s) {
            now = now.addSecs(1);
            if (s % 3 == 0) {
                QVERIFY(sendAndWait(bad));
                elm->slothandleTimeOut();
            }
            if (s % 5 == 0)
                manager.checkCommState();
        }
        QList<CEvent> out;
        QCOMPARE(take(spy, &out), QList<int>{171}); // one fault for the episode
        QCOMPARE(out.first().strNote, QStringLiteral("校验错误"));
        QCOMPARE(elm->invalidFrames(), quint64(15));
        // A good frame again: one restore at the next check.
        QVERIFY(sendAndWait(good));
        QTRY_VERIFY(!elm->lastFramesInvalid());
        for (int i = 0; i < 3; ++i) {
            now = now.addSecs(5);
            manager.checkCommState();
        }
        out.clear();
        QCOMPARE(take(spy, &out), QList<int>{170});
        QCOMPARE(out.first().strNote, QStringLiteral("通讯正常"));
        manager.closeAllPanels();
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
        QSignalSpy spy(&manager, &CPanelManager::sendEvent);
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
