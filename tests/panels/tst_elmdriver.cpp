// The Elm driver in its worker on real UDP sockets on loopback: the
// acknowledgement of every kind of datagram, commands and connect frames, a
// second controller on the same port, and a whole session with the panel
// manager and the simulated panel, the manager's check driven by a clock.

#include "eventsink.h"
#include "qtwarningguard.h"
#include "recordtable.h"

#include "core/apppaths.h"
#include "panels/cpanelmanager.h"
#include "panels/models/controllerelm.h"
#include "panels/models/elmframes.h"
#include "tools/sim/elmsimsocket.h"
#include "tools/sim/recordpanelsim.h"

#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using namespace ElmFrames;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
const QDateTime kWhen(QDate(2024, 12, 5), QTime(21, 45, 10));
const QString kLink = QStringLiteral("0/127.0.0.1:9002");

// The panel's end: a socket on loopback (or on all addresses, to hear the
// connect broadcasts as well).
struct Peer
{
    explicit Peer(bool hearBroadcasts = false)
    {
        s.bind(hearBroadcasts ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::LocalHost), 0);
    }
    quint16 port() const { return s.localPort(); }
    void send(const QByteArray &d, quint16 to) { s.writeDatagram(d, QHostAddress(QHostAddress::LocalHost), to); }
    QByteArray next(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (!s.hasPendingDatagrams() && !deadline.hasExpired())
            s.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)));
        QByteArray d(int(qMax<qint64>(s.pendingDatagramSize(), 0)), '\0');
        return s.readDatagram(d.data(), d.size()) >= 0 ? d : QByteArray();
    }
    QUdpSocket s;
};

QByteArray deviceReport(quint8 id)
{
    QByteArray r = hex("7e0101010302 00") + char(id) + hex("0001 0005 03 180c05152d0a");
    r += QByteArray("T1").leftJustified(40, '\0') + hex("0101 0005 0101 0005");
    return appendCrc(r);
}

CEvent command(int code, const QString &strCode = QString())
{
    CEvent c;
    c.nEventCode = code;
    c.strCode = strCode;
    return c;
}

QList<CEvent> events(const QSignalSpy &spy)
{
    QList<CEvent> out;
    for (const QList<QVariant> &args : spy)
        out << CEvent::fromVariant(args.at(0));
    return out;
}
} // namespace

class TestElmDriver : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QtWarningGuard::install();
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(loadRecordEventTable(m_dir.path()));
    }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void everyDatagramIsAcknowledged()
    {
        Peer panel;
        ControllerElm d(kLink, 3, 240);
        d.setPorts(0, panel.port());
        d.setAckDelayMs(10);
        d.setClock([] { return kWhen; });
        EventSink sink;
        sink.watch(&d);
        QVERIFY(d.openController());
        const quint16 to = d.localPort();
        // Two reports waiting together when the worker starts: each decoded
        // and acknowledged on its own, in order; the panel network's own
        // number 251 is reported as 0.
        panel.send(deviceReport(251), to);
        panel.send(appendCrc(hex("7e010101030a0004 180102030405")), to);
        d.start();
        QCOMPARE(panel.next(), ackFrame(AckPlain, 0));
        QCOMPARE(panel.next(), ackFrame(AckPlain, 4));

        panel.send(hex("7e0102"), to); // too short for a kind or a number
        QCOMPARE(panel.next(), ackFrame(AckPlain, 0));
        panel.send(appendCrc(hex("7e01010103300005")), to); // kind not in the table
        QCOMPARE(panel.next(), ackFrame(AckPlain, 5));
        panel.send(appendCrc(hex("7e010101030f0005")), to); // a state kind, 14..17
        QCOMPARE(panel.next(), ackFrame(AckPlain, 5));
        // A damaged report is not acknowledged: the next answer is for kind 1.
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kind 2 with a wrong CRC")));
        panel.send(hex("7e01010103020005 0000"), to);
        panel.send(appendCrc(hex("7e01010103010007")), to);
        QCOMPARE(panel.next(), ackFrame(AckKindOne, 7));

        QTRY_COMPARE(sink.events.size(), 3);
        const CEvent fire = sink.events.at(0);
        QCOMPARE(fire.nEventCode, 2);
        QCOMPARE(fire.nEventProperty, 1);
        QCOMPARE(int(fire.nPanelID), 0);
        QCOMPARE(fire.nPanelType, 240);
        QCOMPARE(fire.nLoop, 1);
        QCOMPARE(fire.nAddress, 5);
        QCOMPARE(fire.strCode, QStringLiteral("0101000503"));
        QCOMPARE(fire.strNote, QStringLiteral(" 回路号:1 地址号:5 类型:3 信息：T1 设备:0101000503"));
        QCOMPARE(sink.events.at(1).strTime, QStringLiteral("2024-01-02 03:04:05"));
        const CEvent kindOne = sink.events.at(2);
        QCOMPARE(kindOne.nEventCode, 1);
        QCOMPARE(int(kindOne.nPanelID), 7);
        QCOMPARE(kindOne.nEventType, 10);
        QCOMPARE(kindOne.strTime, QStringLiteral("2024-12-05 21:45:10"));
        d.closeController();
    }

    void commandsAndConnectFrames()
    {
        Peer panel(true);
        ControllerElm d(kLink, 3, 240);
        d.setPorts(0, panel.port());
        d.setConnectIntervalMs(50);
        d.setClock([] { return kWhen; });
        QVERIFY(d.openController());
        QCOMPARE(d.connectAddress(), QHostAddress(QStringLiteral("127.255.255.255")));
        d.start();
        // Until the panel is heard: once at open, then again and again.
        const QByteArray connect = connectFrame(QHostAddress(QStringLiteral("127.0.0.1")));
        QCOMPARE(panel.next(), connect);
        QCOMPARE(panel.next(), connect);
        QVERIFY(!d.addCommand(command(CmdSilence).toVariant())); // nobody heard yet

        panel.send(appendCrc(hex("7e010101030f0009")), d.localPort());
        QByteArray got;
        do
            got = panel.next();
        while (got == connect);
        QCOMPARE(got, ackFrame(AckPlain, 9));
        // Judged communicating (the manager's check): connect frames stop and
        // commands go to the panel number last heard, one per pass.
        d.setCommState(1);
        QVERIFY(d.addCommand(command(CmdSilence).toVariant()));
        QVERIFY(d.addCommand(command(CmdEnable, QStringLiteral("01a2030405")).toVariant()));
        QVERIFY(d.addCommand(command(CmdSyncTime).toVariant()));
        QVERIFY(d.addCommand(command(CmdDisable, QStringLiteral("0102030405")).toVariant()));
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not sent: the codes must be decimal")));
        do
            got = panel.next();
        while (got == connect);
        QCOMPARE(got, commandFrame(0x89, 9));
        QCOMPARE(panel.next(), timeFrame(kWhen, 9));
        QCOMPARE(panel.next(), deviceStateFrame(0x92, QStringLiteral("0102030405"), QString()));
        d.closeController();
    }

    void secondControllerOnThePortFailsLoudly()
    {
        Peer panel;
        ControllerElm first(kLink, 3, 240);
        first.setPorts(0, panel.port());
        QVERIFY(first.openController());
        ControllerElm second(kLink, 4, 240);
        second.setPorts(first.localPort(), panel.port());
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("controller 4 cannot bind")));
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ControllerElm 4: UDP port \\d+ cannot be bound")));
        QVERIFY(!second.openController());
        QVERIFY(!second.isConnected());
        first.closeController();
        QVERIFY(second.openController()); // free again
        second.closeController();
    }

    void sessionWithManagerAndSimulator()
    {
        QDateTime now = kWhen;
        CPanelManager manager;
        manager.setClock([&now] { return now; });
        auto *info = new ControllerInfo;
        info->controllerId = 3;
        info->controllerType = 240;
        info->netAddress = kLink;
        manager.addController(info);
        auto *d = qobject_cast<ControllerElm *>(manager.controller(3));
        QVERIFY(d);
        ElmPanelSim sim(1);
        ElmSimSocket socket(sim);
        QVERIFY(socket.listen(0));
        d->setPorts(0, socket.localPort());
        d->setConnectIntervalMs(100);
        d->setAckDelayMs(20);
        QSignalSpy spy(&manager, SIGNAL(sendEvent(QVariant)));
        QVERIFY(manager.openPanel(3));
        spy.clear(); // the open notice
        const auto check = [&] {
            now = now.addSecs(5);
            manager.checkCommState();
            return events(spy);
        };

        // Never heard: connect frames keep coming, the first check reports
        // nothing, and after 30 s of silence one "communication timed out".
        QTRY_VERIFY(sim.connectFrames() >= 2);
        QCOMPARE(socket.serverPort(), d->localPort());
        QCOMPARE(check().size(), 0);
        for (int i = 0; i < 10; ++i)
            d->slothandleTimeOut();
        QList<CEvent> out = check();
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.first().strNote, QStringLiteral("通讯超时"));
        QCOMPARE(out.first().nEventProperty, 1);
        spy.clear();
        QCOMPARE(check().size(), 0);

        // The panel speaks: every report decoded and acknowledged as its kind wants.
        sim.addReport(2, 1, 5, 3, QStringLiteral("一楼烟感"));
        sim.addReport(1);
        sim.addReport(10);
        sim.addReport(18, 7);
        QTRY_COMPARE(sim.reportsAcknowledged(), 4);
        QCOMPARE(sim.wrongAcknowledgements(), 0);
        QTRY_COMPARE(spy.count(), 4);
        out = events(spy);
        QCOMPARE(out.at(0).nEventType, 1); // completed from the table by the manager
        QVERIFY(out.at(0).strNote.endsWith(QStringLiteral("信息：一楼烟感 设备:0101000503")));
        QCOMPARE(out.at(3).strNote, QStringLiteral("线路号(区号):7"));
        spy.clear();
        out = check();
        QCOMPARE(out.size(), 1);
        QCOMPARE(out.first().strNote, QStringLiteral("通讯正常"));
        QCOMPARE(out.first().nEventProperty, 0);

        // Communicating: commands reach the panel, and no connect frame
        // follows the first of them (one pass apart).
        sim.takeReceived();
        manager.slotHandleCommandData(command(CmdSilence).toVariant());
        manager.slotHandleCommandData(command(CmdSyncTime).toVariant());
        QList<RecordPanelSim::Received> received;
        const auto commandsSeen = [&] {
            received += sim.takeReceived();
            return std::count_if(received.cbegin(), received.cend(), [](const RecordPanelSim::Received &r) {
                return r.type == RecordPanelSim::Received::Command || r.type == RecordPanelSim::Received::Time;
            });
        };
        QTRY_COMPARE(commandsSeen(), 2);
        while (received.first().type == RecordPanelSim::Received::Connect)
            received.removeFirst();
        QCOMPARE(received.size(), 2);
        QCOMPARE(received.at(0).bytes, commandFrame(0x89, 1));
        QCOMPARE(received.at(1).type, RecordPanelSim::Received::Time);
        const int connects = sim.connectFrames();

        // Silent again for 30 s: exactly one timeout, and connect frames resume.
        sim.setSilent(true);
        spy.clear();
        for (int i = 0; i < 10; ++i)
            d->slothandleTimeOut();
        QCOMPARE(check().size(), 1);
        QCOMPARE(check().size(), 1);
        QTRY_VERIFY(sim.connectFrames() > connects);
        manager.closeAllPanels();
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestElmDriver)
#include "tst_elmdriver.moc"
