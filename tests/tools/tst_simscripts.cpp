// The simulators' report scripts: the sample site's scripts load, a scripted
// report goes out on the next poll byte for byte, and a script with a value
// its field cannot hold is refused at that line instead of being cut to fit.

#include "tools/sim/birchpanelsim.h"
#include "tools/sim/cedarpanelsim.h"
#include "tools/sim/marshpanelsim.h"
#include "tools/sim/recordpanelsim.h"

#include <QFile>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(std::shared_ptr<PanelSim>)

class TestSimScripts : public QObject
{
    Q_OBJECT

private slots:
    void siteScriptsLoad()
    {
        BirchPanelSim birch;
        CedarPanelSim cedar;
        const QList<QPair<PanelSim *, QString>> scripts{{&birch, "demo-panel.script"}, {&cedar, "demo-cedar.script"}};
        for (const auto &script : scripts) {
            QFile f(QStringLiteral(FIRE_SOURCE_DIR "/site/") + script.second);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QString error;
            QVERIFY2(script.first->loadScript(QString::fromUtf8(f.readAll()), &error), qPrintable(error));
        }
    }

    void scriptedReportOnTheWire()
    {
        BirchPanelSim sim(1);
        QString error;
        QVERIFY2(sim.loadScript("# fire\nreport 21 05 02 00 1f\n", &error), qPrintable(error));
        QCOMPARE(sim.feed(QByteArray::fromHex("31")), QByteArray::fromHex("1109 00 aa 21 05 02 00 1f"));
        QCOMPARE(sim.feed(QByteArray::fromHex("31")), QByteArray::fromHex("51"));
    }

    void valueTooLargeIsRefusedAtItsLine_data()
    {
        QTest::addColumn<std::shared_ptr<PanelSim>>("sim");
        QTest::addColumn<QString>("good");
        QTest::addColumn<QString>("line");
        QTest::newRow("birch report") << std::shared_ptr<PanelSim>(new BirchPanelSim) << "idle 1"
                                      << "report 21 1ff 0 0 0";
        QTest::newRow("cedar") << std::shared_ptr<PanelSim>(new CedarPanelSim) << "idle 1" << "status 100";
        QTest::newRow("elm") << std::shared_ptr<PanelSim>(new RecordPanelSim(RecordPanelSim::Elm)) << "wait 10"
                             << "raw 1ff";
        QTest::newRow("marsh") << std::shared_ptr<PanelSim>(new MarshPanelSim) << "wait 1" << "report 256 0 0 0 a b";
    }
    void valueTooLargeIsRefusedAtItsLine()
    {
        QFETCH(std::shared_ptr<PanelSim>, sim);
        QFETCH(QString, good);
        QFETCH(QString, line);
        QString error;
        QVERIFY(!sim->loadScript("# a good line first\n" + good + "\n" + line + "\n", &error));
        QVERIFY2(error.startsWith("line 3:"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestSimScripts)
#include "tst_simscripts.moc"
