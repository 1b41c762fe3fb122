// The Elm driver in its worker on real UDP sockets on loopback: the
// acknowledgement of every kind of datagram, commands and connect frames, and
// a second controller on the same port. The manager's check of listening
// panels is in tst_cpanelmanager.

#include "common/eventsink.h"
#include "common/qtwarningguard.h"
#include "recordtable.h"

#include "core/apppaths.h"
#include "panels/models/controllerelm.h"
#include "panels/models/elmframes.h"

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
        panel.send(appendCrc(hex("7e0101010312000a 0102 180102030405")), to); // a loop report
        QCOMPARE(panel.next(), ackFrame(AckPlain, 10));
        // A damaged report is not acknowledged: the next answer is for kind 1.
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kind 2 with a wrong CRC")));
        panel.send(hex("7e01010103020005 0000"), to);
        panel.send(appendCrc(hex("7e01010103010007")), to);
        QCOMPARE(panel.next(), ackFrame(AckKindOne, 7));

        QTRY_COMPARE(sink.events.size(), 4);
        const CEvent fire = sink.events.at(0);
        QCOMPARE(fire.nEventCode, 2);
        QCOMPARE(fire.nEventProperty, 1);
        QCOMPARE(int(fire.nPanelID), 0);
        QCOMPARE(fire.nPanelType, 240);
        QCOMPARE(fire.strNote, QStringLiteral(" 回路号:1 地址号:5 类型:3 信息：T1 设备:0101000503"));
        QCOMPARE(sink.events.at(1).strTime, QStringLiteral("2024-01-02 03:04:05"));
        QCOMPARE(sink.events.at(2).strNote, QStringLiteral("线路号(区号):258"));
        const CEvent kindOne = sink.events.at(3);
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
        QVERIFY(!d.addCommand(command(CmdSilence))); // nobody heard yet

        panel.send(appendCrc(hex("7e010101030f0009")), d.localPort());
        QByteArray got;
        do
            got = panel.next();
        while (got == connect);
        QCOMPARE(got, ackFrame(AckPlain, 9));
        // A damaged datagram is answered, but its panel number is noise.
        QByteArray damaged = appendCrc(hex("7e0101010300000a"));
        damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 1);
        panel.send(damaged, d.localPort());
        do
            got = panel.next();
        while (got == connect);
        QCOMPARE(got, ackFrame(AckPlain, 10));
        // Judged communicating (the manager's check): connect frames stop and
        // commands go to the panel number last heard, one per pass; one
        // routed here for a panel of the network goes to that panel.
        d.setCommState(1);
        CEvent reset12 = command(CmdReset);
        reset12.nPanelID = 12;
        QVERIFY(d.addCommand(reset12));
        QVERIFY(d.addCommand(command(CmdSilence)));
        QVERIFY(d.addCommand(command(CmdEnable, QStringLiteral("01a2030405"))));
        QVERIFY(d.addCommand(command(CmdSyncTime)));
        QVERIFY(d.addCommand(command(CmdDisable, QStringLiteral("0102030405"))));
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not sent: the codes must be decimal")));
        do
            got = panel.next();
        while (got == connect);
        QCOMPARE(got, commandFrame(0x94, 12));
        QCOMPARE(panel.next(), commandFrame(0x89, 9));
        QCOMPARE(panel.next(), timeFrame(kWhen, 9));
        QCOMPARE(panel.next(), deviceStateFrame(0x92, QStringLiteral("0102030405"), QString()));
        // Judged lost again: the connect frames resume.
        d.setCommState(0);
        QCOMPARE(panel.next(), connect);
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

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestElmDriver)
#include "tst_elmdriver.moc"
