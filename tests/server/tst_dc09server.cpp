// The server with the DC-09 transmission on, as config.ini switches it,
// against fire-arc's receiver on loopback: a simulated Birch panel and a
// Modbus device raise the events. What the centre gets (codes, area, zone,
// encryption, Contact ID over UDP), and how the link copes with a clock
// that disagrees (NAK), a message it cannot process (DUH), a lost primary,
// a centre away for 30 s, and an idle line (supervision).

#include "clients/ceventprocess.h"
#include "common/simulatedbirch.h"
#include "common/sitekit.h"
#include "common/testfiles.h"
#include "gateways/cmodbusdevice.h"
#include "server/dc09service.h"
#include "server/fireserver.h"
#include "server/modbusservice.h"
#include "server/monitoring.h"
#include "tools/sim/dc09receiver.h"

#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {
// The event data of what a receiver accepted (ACKed), supervision left out.
QByteArrayList accepted(const Dc09Receiver &r)
{
    QByteArrayList out;
    for (const Dc09Receiver::Received &m : r.received()) {
        if (m.answer == "ACK" && m.message.id != "NULL")
            out << m.message.data;
    }
    return out;
}

// Only the events of these SIA codes or Contact ID events (a panel's
// communication restore at its open also goes out).
QByteArrayList only(const QByteArrayList &all, const QByteArrayList &codes)
{
    QByteArrayList out;
    for (const QByteArray &d : all) {
        for (const QByteArray &c : codes) {
            if (d.contains(c))
                out << d;
        }
    }
    return out;
}

QByteArray alarm(int device)
{
    return "MB0000" + QByteArray::number(device).rightJustified(3, '0') + "XYZ";
}
} // namespace

class TestDc09Server : public QObject
{
    Q_OBJECT
    std::unique_ptr<SiteKit> m_site;
    std::unique_ptr<SimulatedBirch> m_panel;
    std::unique_ptr<FireServer> m_server;
    std::unique_ptr<Dc09Receiver> m_primary;
    std::unique_ptr<Dc09Receiver> m_backup;
    QUdpSocket m_modbus;
    quint16 m_modbusPort = 0;
    QList<CEvent> m_delivered;

    QString path(const QString &name) const { return m_site->path(name); }

    // arc: the Arc group's keys beyond enabled and primary.
    void startSite(const QString &arc, bool withPanel = false)
    {
        m_site.reset(new SiteKit);
        QVERIFY(m_site->copyTables());
        QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/ArcCodes.xml"), path("ArcCodes.xml")));
        QVERIFY(m_site->writeIni(QStringLiteral("[Server]\nisHaveModbus=1\n[SerialPorts]\nCOM1=%1\n"
                                                "[Arc]\nenabled=1\naccount=1234\nprimary=127.0.0.1:%2\n%3\n")
                                 .arg(path("ttyPanel"))
                                 .arg(m_primary->port())
                                 .arg(arc)
                                 .toUtf8()));
        if (withPanel) {
            QVERIFY(m_site->init({"--controller", QStringLiteral("1:22:1:一号主机")}));
            m_panel.reset(new SimulatedBirch(m_site->dir()));
            QVERIFY(m_panel->start());
        }
        m_site->useHere();
        m_server.reset(new FireServer(Site::freePorts()));
        QVERIFY(m_server->start());
        QVERIFY(m_server->service<Dc09Service>());
        m_modbusPort = m_server->service<ModbusService>()->device()->localPort();
        m_delivered.clear();
        connect(m_server->dispatcher(), &CEventProcess::sendEventToClient, this,
                [this](int, const CEvent &e) { m_delivered << e; });
    }

    void modbus(int device, int type)
    {
        m_modbus.writeDatagram(QStringLiteral("{\"msg\":\"%1\",\"type\":%2}").arg(QString::fromLatin1(alarm(device))).arg(type).toUtf8(),
                               QHostAddress::LocalHost, m_modbusPort);
    }

    const Journal &journal() const { return m_server->service<Dc09Service>()->journal(); }

    // The link's own events the operators were given, as "ARC1 1" (lost) or "ARC1 0".
    QStringList linkEvents() const
    {
        QStringList out;
        for (const CEvent &e : m_delivered) {
            if (e.strCode.startsWith(QLatin1String("ARC")))
                out << QStringLiteral("%1 %2").arg(e.strCode).arg(e.nEventProperty);
        }
        return out;
    }

private slots:
    void init()
    {
        m_primary.reset(new Dc09Receiver);
        m_backup.reset(new Dc09Receiver);
        QVERIFY(m_primary->listen());
        QVERIFY(m_backup->listen());
    }

    void cleanup()
    {
        m_server.reset();
        m_panel.reset();
        m_primary.reset();
        m_backup.reset();
        m_site.reset();
    }

    // An encrypted SIA DCS line: the panel's alarm with its controller as
    // area and the device's address from its code as zone; a Modbus
    // device's alarm and restore (FH); the panel's reset (FR, zone 000).
    void siaAlarmRestoreAndResetEncrypted()
    {
        Dc09::Key key;
        QString error;
        QVERIFY(Dc09::Key::parse("AAAAAAAAAAAAAAAA", "text", &key, &error));
        m_primary->setKey(key);
        STEP(startSite("key=AAAAAAAAAAAAAAAA\nkeyFormat=text\nreceiver=12\nline=3\nformat=SIA-DCS", true));
        // Fire alarm: smoke detector at loop 1, address 5 (code 00100503).
        m_panel->sim().addReport(0x15, 0x05, 0x01, 0x00, 0x03);
        QTRY_COMPARE_WITH_TIMEOUT(only(accepted(*m_primary), {"/FA"}), QByteArrayList{"#1234|Nri1/FA005"}, 15000);
        modbus(12, 0);
        QTRY_COMPARE_WITH_TIMEOUT(only(accepted(*m_primary), {"/FA"}).size(), 2, 10000);
        modbus(12, 1);
        QTRY_COMPARE_WITH_TIMEOUT(only(accepted(*m_primary), {"/FH"}), QByteArrayList{"#1234|Nri1/FH012"}, 10000);
        m_panel->sim().addReport(0x04, 0x00, 0x00, 0x00, 0x00);
        QTRY_COMPARE_WITH_TIMEOUT(only(accepted(*m_primary), {"/FR"}), QByteArrayList{"#1234|Nri1/FR000"}, 15000);
        QCOMPARE(only(accepted(*m_primary), {"/FA", "/FH", "/FR"}),
                 (QByteArrayList{"#1234|Nri1/FA005", "#1234|Nri1/FA012", "#1234|Nri1/FH012", "#1234|Nri1/FR000"}));
        for (const Dc09Receiver::Received &r : m_primary->received()) {
            QVERIFY(r.message.encrypted);
            QCOMPARE(r.message.receiver, QByteArray("12"));
            QCOMPARE(r.message.line, QByteArray("3"));
            QCOMPARE(r.message.account, QByteArray("1234"));
            QVERIFY(qAbs(r.message.timestamp.secsTo(QDateTime::currentDateTimeUtc())) < 30);
        }
        QTRY_COMPARE(journal().count(), 0);
        Monitoring monitoring(m_server.get());
        const QByteArray metrics = monitoring.metricsText();
        QVERIFY(metrics.contains("\nfireserver_arc_path_up{path=\"primary\"} 1\n"));
        QVERIFY(metrics.contains("\nfireserver_arc_journal_events 0\n"));
    }

    void contactIdOverUdp()
    {
        STEP(startSite("format=ADM-CID\ntransport=udp"));
        modbus(12, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary).size(), 1, 10000);
        modbus(12, 1);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary), (QByteArrayList{"#1234|1110 01 012", "#1234|3110 01 012"}), 10000);
        QVERIFY(m_primary->received().first().udp);
        QCOMPARE(m_primary->received().first().message.id, QByteArray("ADM-CID"));
    }

    // The centre's clock is 10 minutes ahead: the first message is refused
    // with its time, sent once more with the same number and the corrected
    // time, and accepted; the next goes with the kept offset at once.
    void nakCorrectsTheClockOnce()
    {
        m_primary->setClockOffsetSecs(600);
        STEP(startSite(QString()));
        modbus(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary).size(), 1, 10000);
        const QList<Dc09Receiver::Received> got = m_primary->received();
        QCOMPARE(got.size(), 2);
        QCOMPARE(got.at(0).answer, QByteArray("NAK"));
        QCOMPARE(got.at(1).answer, QByteArray("ACK"));
        QCOMPARE(got.at(1).message.seq, got.at(0).message.seq);
        QCOMPARE(got.at(1).message.data, got.at(0).message.data);
        QVERIFY(qAbs(got.at(1).message.timestamp.secsTo(got.at(1).at)) <= 5);
        modbus(2, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary).size(), 2, 10000);
        QCOMPARE(m_primary->received().size(), 3);
    }

    void duhIsNotRepeated()
    {
        m_primary->setMode(Dc09Receiver::Duh);
        STEP(startSite("ackTimeout=1"));
        modbus(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_primary->count(), 1, 10000);
        QCOMPARE(m_primary->received().first().answer, QByteArray("DUH"));
        QTRY_COMPARE(journal().count(), 0);
        m_primary->setMode(Dc09Receiver::Ack);
        modbus(2, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary), QByteArrayList{"#1234|Nri1/FA002"}, 10000);
        QCOMPARE(m_primary->count(), 2);
        QVERIFY(Monitoring(m_server.get()).metricsText().contains("fireserver_arc_answers_total{kind=\"duh\"} 1\n"));
    }

    // The primary is down: the backup gets the alarm and the operators are
    // told; once the primary answers a probe again, it carries the next one.
    // Nothing arrives twice.
    void backupTakesOverUntilPrimaryAnswers()
    {
        const quint16 primaryPort = m_primary->port();
        m_primary->close();
        STEP(startSite(QStringLiteral("backup=127.0.0.1:%1\nackTimeout=1\nretries=1\nretryInterval=1")
                           .arg(m_backup->port())));
        modbus(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_backup), QByteArrayList{"#1234|Nri1/FA001"}, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(linkEvents(), QStringList{"ARC1 1"}, 5000);
        QVERIFY(m_primary->listen(primaryPort));
        QTRY_COMPARE_WITH_TIMEOUT(linkEvents(), (QStringList{"ARC1 1", "ARC1 0"}), 10000);
        modbus(2, 0);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary), QByteArrayList{"#1234|Nri1/FA002"}, 10000);
        QCOMPARE(accepted(*m_backup), QByteArrayList{"#1234|Nri1/FA001"});
        const QByteArray metrics = Monitoring(m_server.get()).metricsText();
        QVERIFY(metrics.contains("\nfireserver_arc_path_lost_total{path=\"primary\"} 1\n"));
        QVERIFY(metrics.contains("\nfireserver_arc_path_up{path=\"backup\"} 1\n"));
    }

    // The centre is away for 30 s while alarms keep coming: they wait in
    // the journal and all arrive afterwards, once each, in order.
    void centreAwayThirtySeconds()
    {
        m_primary->close();
        STEP(startSite("ackTimeout=1\nretries=0"));
        QElapsedTimer away;
        away.start();
        int sent = 0;
        QTimer alarms;
        connect(&alarms, &QTimer::timeout, this, [&] {
            if (sent < 10)
                modbus(++sent, 0);
        });
        alarms.start(2500);
        QTRY_VERIFY_WITH_TIMEOUT(sent == 10 && journal().count() == 10 && away.elapsed() >= 30000, 40000);
        QCOMPARE(m_primary->count(), 0);
        QVERIFY(m_primary->listen(m_primary->port()));
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary).size(), 10, 20000);
        QByteArrayList expected;
        for (int i = 1; i <= 10; ++i)
            expected << "#1234|Nri1/FA" + QByteArray::number(i).rightJustified(3, '0');
        QCOMPARE(accepted(*m_primary), expected);
        QCOMPARE(m_primary->count(), 10);
        QTRY_COMPARE(linkEvents(), (QStringList{"ARC1 1", "ARC1 0"}));
        QTRY_COMPARE(journal().count(), 0);
    }

    // NULLs at the interval while nothing else goes; none while events flow.
    void supervisionOnlyWhenIdle()
    {
        STEP(startSite("supervision=1"));
        QTRY_COMPARE_WITH_TIMEOUT(m_primary->count(), 3, 10000);
        QList<Dc09Receiver::Received> got = m_primary->received();
        for (int i = 0; i < got.size(); ++i) {
            QCOMPARE(got.at(i).message.id, QByteArray("NULL"));
            QCOMPARE(got.at(i).message.data, QByteArray());
            if (i > 0) {
                const qint64 gap = got.at(i - 1).at.msecsTo(got.at(i).at);
                QVERIFY2(gap >= 900 && gap < 2500, qPrintable(QString::number(gap)));
            }
        }
        m_primary->clear();
        int sent = 0;
        QTimer alarms;
        connect(&alarms, &QTimer::timeout, this, [&] {
            if (sent < 10)
                modbus(++sent, 0);
        });
        alarms.start(300);
        QTRY_COMPARE_WITH_TIMEOUT(accepted(*m_primary).size(), 10, 15000);
        got = m_primary->received();
        int first = 0;
        while (first < got.size() && got.at(first).message.id == "NULL")
            ++first; // a NULL may have been on its way when the first alarm came
        for (int i = first; i < got.size(); ++i)
            QVERIFY2(got.at(i).message.id != "NULL", "supervision while events flowed");
        QTRY_VERIFY_WITH_TIMEOUT(m_primary->received().last().message.id == "NULL", 5000);
    }
};

QTEST_GUILESS_MAIN(TestDc09Server)
#include "tst_dc09server.moc"
