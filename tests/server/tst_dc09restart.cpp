// FIXED_PORTS_TEST: the real executable with the DC-09 transmission on and
// its centre away. Killed with SIGKILL while alarms wait in its journal and
// started again once the centre is back, it sends them all, in order, once.

#include "common/sitekit.h"
#include "gateways/journal.h"
#include "tools/sim/dc09receiver.h"

#include <QUdpSocket>
#include <QtTest>

namespace {
constexpr int kAlarms = 5;
} // namespace

class TestDc09Restart : public QObject
{
    Q_OBJECT
    SiteKit m_site;

    QString path(const QString &name) const { return m_site.path(name); }

    int journaled() const
    {
        Journal j;
        j.open(path("ArcJournal.db"));
        return j.count();
    }

private slots:
    void killedWithAlarmsWaitingSendsThemAfterRestart()
    {
        QVERIFY(m_site.copyTables());
        QVERIFY(QFile::copy(QStringLiteral(FIRE_SOURCE_DIR "/site/ArcCodes.xml"), path("ArcCodes.xml")));
        Dc09Receiver centre;
        QVERIFY(centre.listen());
        const quint16 port = centre.port();
        centre.close();
        QVERIFY(m_site.writeIni(QStringLiteral("[Server]\nisHaveModbus=1\n[Arc]\nenabled=1\naccount=1234\n"
                                               "primary=127.0.0.1:%1\nackTimeout=1\nretries=0\n")
                                    .arg(port)
                                    .toUtf8()));
        QVERIFY2(m_site.start("DC-09: SIA-DCS account 1234"), qPrintable(m_site.startLog()));
        QUdpSocket modbus;
        for (int i = 1; i <= kAlarms; ++i)
            modbus.writeDatagram(QStringLiteral("{\"msg\":\"MB0000%1XYZ\",\"type\":0}").arg(i, 3, 10, QLatin1Char('0')).toUtf8(),
                                 QHostAddress::LocalHost, 9040);
        QTRY_COMPARE_WITH_TIMEOUT(journaled(), kAlarms, 10000);
        m_site.kill();

        QVERIFY(centre.listen(port));
        QVERIFY2(m_site.start("DC-09: SIA-DCS account 1234"), qPrintable(m_site.startLog()));
        QByteArrayList expected;
        for (int i = 1; i <= kAlarms; ++i)
            expected << "#1234|Nri1/FA" + QByteArray::number(i).rightJustified(3, '0');
        QTRY_COMPARE_WITH_TIMEOUT(centre.count(), kAlarms, 15000);
        QByteArrayList got;
        for (const Dc09Receiver::Received &r : centre.received()) {
            QCOMPARE(r.answer, QByteArray("ACK"));
            got << r.message.data;
        }
        QCOMPARE(got, expected);
        QVERIFY(m_site.terminate() >= 0);
        QCOMPARE(centre.count(), kAlarms);
        QCOMPARE(journaled(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDc09Restart)
#include "tst_dc09restart.moc"
