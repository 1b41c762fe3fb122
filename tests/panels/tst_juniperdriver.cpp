// The Juniper driver on a fake link: answers with the server's time and CRC,
// the set-time answer, records cut up or buried in noise, the silence and
// reset commands and the remote lamp. Its session over a pseudo-terminal is
// in tst_panelintegration.

#include "common/driverrig.h"
#include "common/qtwarningguard.h"
#include "recordtable.h"
#include "common/testfiles.h"

#include "core/apppaths.h"
#include "panels/models/controllerjuniper.h"
#include "panels/models/elmframes.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ElmFrames;

namespace {
QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// Records every DTR level set; can refuse them as a port without modem lines does.
class LampLink : public FakeLink
{
public:
    bool setDataTerminalReady(bool on) override
    {
        QMutexLocker lock(&m_levelLock);
        levels.append(on);
        return !refuse;
    }
    QList<bool> seen() const
    {
        QMutexLocker lock(&m_levelLock);
        return levels;
    }
    std::atomic<bool> refuse{false};

private:
    mutable QMutex m_levelLock; // guards levels; the driver's worker and the test take it
    QList<bool> levels;
};

struct Rig : DriverRig<ControllerJuniper, NoPanelSim, LampLink> {
    Rig() : DriverRig(QStringLiteral("COM:COM9"), 2, 250) {}
};

CEvent command(int code)
{
    CEvent c;
    c.nEventCode = code;
    return c;
}

} // namespace

class TestJuniperDriver : public QObject
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

    void answersWithTimeAndCrc()
    {
        Rig r;
        QVERIFY(r.ok);
        QCOMPARE(r.f->baudRate(), 115200);
        const QByteArray answer = hex("7e0102020742 180c05152d0a 98cc");
        // A device record in two pieces: one event, one answer.
        QByteArray device = hex("7e0101010321 0001 0002 0007 04 180102030405");
        device = appendCrc(device + QByteArray(40, '\x11'));
        r.f->inject(device.left(20));
        r.f->inject(device.mid(20));
        QTRY_COMPARE(r.writes(), QList<QByteArray>{answer});
        QTRY_COMPARE(r.sink.events.size(), 1);
        CEvent e = r.sink.events.at(0);
        QCOMPARE(e.nEventCode, 33);
        QCOMPARE(e.nEventType, 5);
        QCOMPARE(int(e.nPanelID), 1);
        QCOMPARE(int(e.nCom), 9);
        QCOMPARE(e.strTime, QStringLiteral("2024-01-02 03:04:05"));

        // Unknown kind: answered, no event. Noise before a record: dropped
        // with a log line, the record answered once.
        QtWarningGuard::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("3 bytes that form no record dropped")));
        r.f->clearWrites();
        r.f->inject(appendCrc(hex("7e0101010330 0001")) + hex("0a0b0c") + appendCrc(hex("7e0101010325 180102030405 00 06")));
        QTRY_COMPARE(r.writes(), (QList<QByteArray>{answer, answer}));
        QTRY_COMPARE(r.sink.events.size(), 2);
        QCOMPARE(r.sink.events.at(1).nEventCode, 37);
        QCOMPARE(int(r.sink.events.at(1).nPanelID), 6);

        // A time sync: the next answer sets the panel's clock, then plain ones again.
        r.f->clearWrites();
        QCOMPARE(r.d.syncTime(), Controller::NotDone);
        r.f->inject(appendCrc(hex("7e0101010301 0001")));
        r.f->inject(appendCrc(hex("7e0101010301 0001")));
        QTRY_COMPARE(r.writes(), (QList<QByteArray>{hex("7e0102020842 180c05152d0a 01 6518"), answer}));
    }

    void silenceThriceResetNothing()
    {
        Rig r;
        r.d.setPassDelayMs(5);
        r.d.start();
        r.d.setCommState(1);
        QVERIFY(r.d.addCommand(command(CmdReset)));
        QVERIFY(r.d.addCommand(command(CmdSilence)));
        const QByteArray silence = hex("7e007f0101898181");
        QTRY_COMPARE(r.writes(), (QList<QByteArray>{silence, silence, silence}));
        QTRY_COMPARE(r.d.commandCount(), 0);
        r.d.closeController();
        QCOMPARE(r.writes().size(), 3);
    }

    void lampModes()
    {
        Rig r;
        r.d.setLampTiming(10, 50);
        r.d.setPassDelayMs(5);
        r.d.start(); // the lamp request crosses into the worker
        r.d.setRemoteLight(1);
        QTRY_COMPARE(r.f->seen(), QList<bool>{true});
        r.d.setRemoteLight(2);
        QTRY_VERIFY(r.f->seen().size() >= 6);
        const QList<bool> blink = r.f->seen().mid(1, 5);
        for (int i = 1; i < blink.size(); ++i)
            QVERIFY(blink.at(i) != blink.at(i - 1));
        QVERIFY(r.d.lampTimerActive());
        // Off: held off a while after the last blink request, then the timer stops.
        r.d.setRemoteLight(0);
        QTRY_VERIFY(!r.d.lampTimerActive());
        QCOMPARE(r.f->seen().last(), false);

        // A port whose DTR cannot be set says so once, however long it blinks.
        LogCapture log;
        r.f->refuse = true;
        const int before = r.f->seen().size();
        r.d.setRemoteLight(2);
        QTRY_VERIFY(r.f->seen().size() >= before + 6);
        // Closed while blinking: the blinking ends with the worker.
        r.d.closeController();
        QVERIFY(!r.d.lampTimerActive());
        QCOMPARE(log.count(QStringLiteral("DTR")), 1);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestJuniperDriver)
#include "tst_juniperdriver.moc"
