// The Marsh panel library and driver: the datagram format byte by byte, the
// library against its simulator on loopback UDP (keep-alive, records both
// ways, repeats, loss, hostile datagrams, a shared local port), the driver's
// report table and command records, and its supervision on an injected clock.

#include "common/eventsink.h"
#include "common/qtwarningguard.h"

#include "config/configtables.h"
#include "panels/models/ats2panel.h"
#include "panels/models/controllermarsh.h"
#include "tools/sim/marshpanelsim.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QUdpSocket>
#include <QtTest>

using namespace Ats2Wire;

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }
const QHostAddress kLocal(QHostAddress::LocalHost);

// A simulated panel on a free loopback port, reporting every 20 ms.
struct SimPanel {
    explicit SimPanel(int id) : sim(id), udp(sim)
    {
        sim.setReportIntervalMs(20);
        ok = udp.listen(kLocal, 0);
        QObject::connect(&udp, &SimTransport::frameReceived, [this](const QString &f) { frames << f; });
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &f : frames)
            n += f.startsWith(prefix);
        return n;
    }
    MarshPanelSim sim;
    MarshSimTransport udp;
    QStringList frames;
    bool ok = false;
};

QList<int> codesOf(const QList<CEvent> &events, int code, int property)
{
    QList<int> at;
    for (int i = 0; i < events.size(); ++i)
        if (events.at(i).nEventCode == code && events.at(i).nEventProperty == property)
            at << i;
    return at;
}

} // namespace

class TestMarsh : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QtWarningGuard::install(); }
    void cleanup() { QCOMPARE(QtWarningGuard::take(), QStringList()); }

    void datagramsByteExact()
    {
        QCOMPARE(crc16("123456789"), quint16(0x4B37));
        QCOMPARE(encode(KeepAlive, 1, 0x1234), hex("41540103011234 e326"));
        SPanel2ATSData r = MarshPanelSim::report(0x24, 2, 5, 7, QStringLiteral("000123"), QStringLiteral("000456"));
        r.strText1.clear();
        const QByteArray wire = encode(Record, 7, 5, r);
        QCOMPARE(wire, hex("41540101070005 2402 05000000 0007 00 06303030313233 06303030343536 8df2"));
        const Decoded d = decode(wire);
        QCOMPARE(d.status, Complete);
        QCOMPARE(d.packet.nPanelId, quint8(7));
        QCOMPARE(d.packet.nSequence, quint16(5));
        QVERIFY(d.packet.record == r);
        QCOMPARE(d.packet.record.byte7(), quint8(5));
        QCOMPARE(d.packet.record.byte8(), quint8(7));
        // Texts that do not fit are not sent at all.
        r.strText2 = QString(33, QLatin1Char('1'));
        QVERIFY(encode(Record, 7, 5, r).isEmpty());
    }
    void hostileDatagramsRefused()
    {
        const QByteArray good = encode(Record, 7, 5, MarshPanelSim::report(0x24, 2, 5, 7, QStringLiteral("1"), QStringLiteral("2")));
        QByteArray badCrc = good;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 1);
        QByteArray version2 = good;
        version2[2] = 2;
        // A text length that runs past the end, with a checksum that fits.
        QByteArray longText = good.left(good.size() - 2);
        longText[HeaderSize + 8 + 17] = char(30);
        const quint16 crc = crc16(longText);
        longText.append(char(crc >> 8)).append(char(crc & 0xFF));
        QByteArray unknownKind = encode(KeepAlive, 7, 1);
        unknownKind[3] = 9;
        for (const QByteArray &bad : {badCrc, version2, longText, good.left(6), QByteArray(200, 'A'), unknownKind}) {
            const Decoded d = decode(bad);
            QCOMPARE(d.status, Invalid);
            QVERIFY(!d.error.isEmpty());
        }
    }
    void libraryAgainstSimulator()
    {
        SimPanel panel(7);
        QVERIFY(panel.ok);
        Ats2Panel lib;
        lib.setTimings(50, 1000, 50);
        QList<SPanel2ATSData> got;
        connect(&lib, &Ats2Panel::recvDataEvent, this, [&got](const SPanel2ATSData &d) { got << d; });
        QVERIFY(!lib.sendEventData(SPanel2ATSData())); // no link yet
        QVERIFY(lib.setPanelId(7, QString(), QStringLiteral("127.0.0.1"), 0, panel.udp.localPort()));

        // The keep-alive is answered: the library tells that the panel is heard.
        QTRY_COMPARE(got.size(), 1);
        QCOMPARE(got.at(0).nCode, quint8(LinkUpCode));
        QVERIFY(lib.isPanelHeard());

        // A command from another thread reaches the panel with every field.
        SPanel2ATSData cmd = MarshPanelSim::report(0x92, 3, 4, 5, QStringLiteral("123456"), QStringLiteral("654321"));
        cmd.strText1 = QStringLiteral("202412052145330007");
        bool sent = false;
        QScopedPointer<QThread> worker(QThread::create([&] { sent = lib.sendEventData(cmd); }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QVERIFY(sent);
        QList<SPanel2ATSData> commands;
        QTRY_VERIFY((commands += panel.sim.takeCommands()).size() == 1);
        QVERIFY(commands.at(0) == cmd);

        // A report arrives with every field; a repeat of it (lost acknowledgement) only once.
        const SPanel2ATSData rep = MarshPanelSim::report(0x24, 2, 5, 7, QStringLiteral("000123"), QStringLiteral("000456"));
        panel.sim.addReport(rep);
        QTRY_COMPARE(got.size(), 2);
        QVERIFY(got.at(1) == rep);
        const QByteArray again = encode(Record, 7, 4242, rep);
        panel.udp.sendRaw(again);
        panel.udp.sendRaw(again);
        QTRY_COMPARE(panel.count(QStringLiteral("ack")), 3);
        QCOMPARE(got.size(), 3);

        // Garbage, another panel's id and a stranger's address deliver nothing.
        panel.udp.sendRaw("not a packet at all");
        panel.udp.sendRaw(encode(Record, 8, 1, rep));
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
        stranger.writeDatagram(encode(Record, 7, 99, rep), kLocal, lib.localPort());
        panel.udp.sendRaw(encode(KeepAlive, 7, 1)); // a witness that the others were read first
        QTRY_COMPARE(panel.count(QStringLiteral("keep-alive answer")), 1);
        QCOMPARE(got.size(), 3);

        // The panel falls silent: a command is sent four times, then the loss is told.
        panel.sim.setSilent(true);
        panel.frames.clear();
        QVERIFY(lib.sendEventData(cmd));
        QTRY_COMPARE(got.size(), 4);
        QCOMPARE(got.at(3).nCode, quint8(LinkLostCode));
        QTRY_COMPARE(panel.count(QStringLiteral("record 92")), 4);
        // ... and heard again.
        panel.sim.setSilent(false);
        QTRY_COMPARE(got.size(), 5);
        QCOMPARE(got.at(4).nCode, quint8(LinkUpCode));
    }
    void panelsShareOneLocalPort()
    {
        SimPanel one(1), two(2);
        QVERIFY(one.ok && two.ok);
        quint16 port = 0;
        {
            QUdpSocket probe; // a port that was free a moment ago
            QVERIFY(probe.bind(kLocal, 0));
            port = probe.localPort();
        }
        Ats2Panel a, b, dup;
        QList<int> seenA, seenB;
        connect(&a, &Ats2Panel::recvDataEvent, this, [&seenA](const SPanel2ATSData &d) { seenA << d.nCode; });
        connect(&b, &Ats2Panel::recvDataEvent, this, [&seenB](const SPanel2ATSData &d) { seenB << d.nCode; });
        QVERIFY(a.setPanelId(1, QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"), port, one.udp.localPort()));
        QVERIFY(b.setPanelId(2, QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"), port, two.udp.localPort()));
        QCOMPARE(a.localPort(), port);
        QVERIFY(!dup.setPanelId(1, QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"), port, one.udp.localPort()));
        one.sim.addReport(MarshPanelSim::report(0x03, 0, 0, 0, QStringLiteral("1"), QStringLiteral("1")));
        two.sim.addReport(MarshPanelSim::report(0x05, 0, 0, 0, QStringLiteral("1"), QStringLiteral("1")));
        QTRY_COMPARE(seenA, (QList<int>{LinkUpCode, 0x03}));
        QTRY_COMPARE(seenB, (QList<int>{LinkUpCode, 0x05}));
    }
    void driverReportsAndCommands()
    {
        QVERIFY(ConfigTables::instance().loadEventTable(QStringLiteral(FIRE_SOURCE_DIR "/site/EventConfig.xml")));
        SimPanel panel(7);
        ControllerMarsh d(QStringLiteral("0/127.0.0.1:4001"), 7, 241);
        QCOMPARE(d.panelAddress(), QStringLiteral("127.0.0.1"));
        d.setLibraryPorts(0, panel.udp.localPort());
        EventSink sink;
        sink.watch(&d);
        int direct = 0;
        connect(&d, &Controller::sendEvent, this, [&direct] { ++direct; }, Qt::DirectConnection);
        QVERIFY(d.openController());
        d.start();
        QVERIFY(d.isConnected());

        // Hello first, then the link-up notice once the panel is heard.
        QList<SPanel2ATSData> cmds;
        QTRY_VERIFY(!(cmds += panel.sim.takeCommands()).isEmpty());
        QCOMPARE(cmds.at(0).nCode, quint8(0x97));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{14}0000$")).match(cmds.at(0).strText1).hasMatch());
        QTRY_COMPARE(sink.events.size(), 1);
        QCOMPARE(sink.events.at(0).nEventCode, 17);
        QCOMPARE(sink.events.at(0).nEventProperty, 0);
        QCOMPARE(sink.events.at(0).strNote, QStringLiteral("ControllerMarsh"));

        // 0x30 has no table value; 0x24 is looked up under key 37.
        panel.sim.addReport(MarshPanelSim::report(0x30, 2, 5, 7, QStringLiteral("1"), QStringLiteral("2")));
        panel.sim.addReport(MarshPanelSim::report(0x24, 2, 5, 7, QStringLiteral("123"), QStringLiteral("456")));
        QTRY_COMPARE(sink.events.size(), 2);
        const CEvent e = sink.events.at(1);
        QCOMPARE(e.nEventCode, 37);
        QCOMPARE(e.nEventType, ConfigTables::instance().entry(37).eventClass);
        QVERIFY(e.nEventType != 0);
        QCOMPARE(int(e.nPanelID), 7);
        QCOMPARE(e.nPanelType, 241);
        QCOMPARE(e.strCode, QStringLiteral("00045600702"));
        QCOMPARE(e.strEndCode, QStringLiteral("00012300502"));

        // Reports go out from the driver's timer, never from the library's signal.
        const int before = direct;
        d.recvDataEvent(MarshPanelSim::report(0x03, 0, 0, 0, QStringLiteral("1"), QStringLiteral("1")));
        QCOMPARE(direct, before);
        QTRY_COMPARE(direct, before + 1);

        // Commands become records; reset and disable also tell the clients.
        QCOMPARE(d.sendControl89(), Controller::Done);
        QCOMPARE(d.syncTime(), Controller::Done);
        QCOMPARE(d.sendControl97(), Controller::Done);
        QCOMPARE(d.sendControl94(), Controller::Done);
        // A short end code: the start code is packed in its place.
        QCOMPARE(d.setDeviceState(0x92, QStringLiteral("12345600703"), QStringLiteral("99")), Controller::Done);
        QCOMPARE(d.setDeviceState(0x90, QStringLiteral("12345600703"), QStringLiteral("65432101204")), Controller::Done);
        // Numbers that do not fit their byte would name another device.
        QCOMPARE(d.setDeviceState(0x91, QStringLiteral("12345699903"), QString()), int(Controller::Refused));
        cmds.clear();
        QTRY_VERIFY((cmds += panel.sim.takeCommands()).size() == 6);
        QList<int> order;
        for (const SPanel2ATSData &c : cmds)
            order << c.nCode;
        QCOMPARE(order, (QList<int>{0x89, 0x95, 0x8A, 0x94, 0x92, 0x90}));
        const SPanel2ATSData &disable = cmds.at(4);
        QCOMPARE(disable.strText2, QStringLiteral("123456"));
        QCOMPARE(disable.byte7(), quint8(7));
        QCOMPARE(disable.nByte1, quint8(3));
        QCOMPARE(disable.strText3, QStringLiteral("123456"));
        QCOMPARE(disable.byte8(), quint8(7));
        QCOMPARE(cmds.at(5).strText3, QStringLiteral("654321"));
        QCOMPARE(cmds.at(5).byte8(), quint8(12));
        QTRY_COMPARE(sink.codes().mid(3), (QList<int>{12, 8}));
        QCOMPARE(sink.events.at(3).strCode, QStringLiteral("00000000000"));
        QCOMPARE(sink.events.at(4).strCode, QStringLiteral("12345600703"));

        // Closed: the library is gone with its port, so no stray report can
        // open the driver again, and commands fail at once.
        QVERIFY(d.closeController());
        QVERIFY(!d.isConnected());
        QVERIFY(!d.library());
        QCOMPARE(d.sendControl89(), Controller::NoAnswer);
        QCOMPARE(sink.events.size(), 5);
    }
    void supervisionOnInjectedClock()
    {
        // A panel that hears everything and answers only when told.
        QUdpSocket panel;
        QVERIFY(panel.bind(kLocal, 0));
        QList<quint16> senderPorts;
        connect(&panel, &QUdpSocket::readyRead, this, [&] {
            while (panel.hasPendingDatagrams()) {
                const QNetworkDatagram dg = panel.receiveDatagram();
                if (!senderPorts.contains(quint16(dg.senderPort())))
                    senderPorts << quint16(dg.senderPort());
            }
        });
        const auto answer = [&] {
            panel.writeDatagram(encode(KeepAliveAnswer, 3, 1), kLocal, senderPorts.last());
        };
        qint64 now = 0;
        ControllerMarsh d(QStringLiteral("0/127.0.0.1:9101"), 3, 241);
        d.setIdleClock([&now] { return now; });
        d.setLibraryPorts(0, panel.localPort());
        EventSink sink;
        sink.watch(&d);
        QVERIFY(d.openController());
        QTRY_COMPARE(senderPorts.size(), 1);

        // 31 s without a report: one fault.
        now = 31000;
        QTRY_COMPARE(codesOf(sink.events, 17, 1).size(), 1);
        // A report before the rebuild restores at once.
        Ats2Panel *first = d.library();
        answer();
        QTRY_COMPARE(codesOf(sink.events, 17, 0), QList<int>{1});
        QCOMPARE(d.library(), first);

        // The library says the link is lost; 60 s later the link is rebuilt (a
        // new socket greets the panel) and no second fault came in between.
        d.recvDataEvent(MarshPanelSim::report(LinkLostCode, 0, 0, 0, QString(), QString()));
        QTRY_COMPARE(codesOf(sink.events, 17, 1), (QList<int>{0, 2}));
        now = 31000 + 60001;
        QTRY_COMPARE(senderPorts.size(), 2);
        QCOMPARE(codesOf(sink.events, 17, 1).size(), 2);
        // The rebuilt link stays silent for 31 s: a fault; then it is heard.
        now += 31000;
        QTRY_COMPARE(codesOf(sink.events, 17, 1).size(), 3);
        answer();
        QTRY_COMPARE(codesOf(sink.events, 17, 0).size(), 2);
        QCOMPARE(sink.events.size(), 5);
        d.closeController();
    }
};

QTEST_GUILESS_MAIN(TestMarsh)
#include "tst_marsh.moc"
