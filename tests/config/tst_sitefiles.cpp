// The sample site in site/ is what a new installation starts from and what
// ./run serves. These checks load those very files and look for the mistakes
// that would make a real site misbehave quietly: a raw code some driver emits
// missing from the table, a restore that can never clear its condition, a
// queue the dispatcher never delivers.

#include "common/testfiles.h"
#include "config/configtables.h"

#include <QDomDocument>
#include <QtTest>

namespace {
QString sitePath(const char *name) { return QStringLiteral(FIRE_SOURCE_DIR "/site/") + QLatin1String(name); }

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int i = first; i <= last; ++i)
        out.append(i);
    return out;
}

int numberOf(const EventEntry &e) { return e.number.trimmed().toInt(); }
// Classes whose present events are remembered per device and cleared by restores.
bool trackedClass(int c) { return (c >= 1 && c <= 8) || c == 17; }
const QSet<int> kStandingNumbers{4000, 6000, 7000, 6305};
} // namespace

class TestSiteFiles : public QObject
{
    Q_OBJECT
    ConfigTables &tables() { return ConfigTables::instance(); }

private slots:
    void initTestCase()
    {
        tables().clear();
        QVERIFY(tables().loadEventTable(sitePath("EventConfig.xml")));
        QVERIFY(tables().loadSystemTypes(sitePath("SysSet.xml")));
    }
    void cleanupTestCase() { tables().clear(); }

    // The raw codes as each producer emits them, before the table renumbers them.
    void everyEmittedCodeHasAnEntry_data()
    {
        QTest::addColumn<QList<int>>("codes");
        QTest::newRow("driver base and panel manager") << QList<int>{17, 100, 101};
        QTest::newRow("ControllerBirch") << QList<int>{1, 2, 4, 5, 6, 7, 8, 9, 12, 37, 38};
        QTest::newRow("ControllerAsh") << QList<int>{1, 3, 4, 5, 6, 7, 8, 9, 100, 111, 112, 113, 114,
                                                     115, 118, 121, 122, 125, 126, 127, 128, 913, 914, 918};
        QTest::newRow("ControllerCedar") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 111, 112, 113, 114, 115,
                                                       118, 121, 122, 125, 126, 127, 128, 914, 918, 2301,
                                                       3301, 3302, 4300, 6000, 6303, 6304, 7000, 9302,
                                                       9303, 9305, 9306};
        QTest::newRow("ControllerDune") << QList<int>{2, 4, 5, 7, 12, 37, 38};
        QTest::newRow("ControllerElm and ControllerJuniper kinds") << range(1, 41) + range(111, 119);
        QTest::newRow("ControllerGlen") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 111, 112, 113, 114, 115, 116,
                                                      117, 118, 121, 122, 123, 124, 125, 126, 127, 128,
                                                      913, 914, 915, 916, 918, 2001, 2002, 3100, 3101,
                                                      3111, 3112, 3114, 3115, 3116, 3117, 3118, 5201,
                                                      5202, 6205, 6305, 9100, 9101, 9204};
        QTest::newRow("ControllerMarsh") << QList<int>{2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 17, 35, 37, 38, 41};
        QTest::newRow("NB-IoT receiver") << QList<int>{1, 3, 913};
        QTest::newRow("Modbus receiver") << QList<int>{2, 3, 913, 2003};
    }

    void everyEmittedCodeHasAnEntry()
    {
        QFETCH(QList<int>, codes);
        QStringList missing;
        for (int code : codes)
            if (!tables().contains(code))
                missing << QString::number(code);
        QVERIFY2(missing.isEmpty(), qPrintable("no entry for " + missing.join(' ')));
    }

    void everyEntryIsDeliveredOnce()
    {
        // A second entry with the same ComData would replace the first without a word.
        QDomDocument doc;
        QVERIFY(doc.setContent(TestFiles::read(sitePath("EventConfig.xml"))));
        int entries = 0;
        for (const char *tag : {"DevEvent", "SysEvent"}) {
            const QDomNodeList groups = doc.elementsByTagName(tag);
            for (int i = 0; i < groups.count(); ++i)
                for (QDomElement e = groups.at(i).firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
                    ++entries;
        }
        QCOMPARE(tables().events().size(), entries);

        // The dispatcher queues by class (or by the standing number) and
        // delivers only the fixed queues and the DevEvent classes.
        for (const EventEntry &e : tables().events()) {
            const QString what = QStringLiteral("ComData %1").arg(e.code);
            QVERIFY2(numberOf(e) > 0 && e.eventClass > 0, qPrintable(what + " has no number or class"));
            if (e.isRestoreAll || e.eventClass == 11 || e.eventClass == 16)
                continue; // replayed, or sent at once
            const int key = kStandingNumbers.contains(numberOf(e)) ? numberOf(e) : e.eventClass;
            const bool fixed = (key >= 24 && key <= 34) || key == 17 || key == 13 || key == 14 || key == 10;
            QVERIFY2(fixed || tables().eventClasses().contains(key), qPrintable(what + " waits in a queue never delivered"));
        }
    }

    void communicationAndRestores()
    {
        // Loss and restore keep the driver's property and share one number,
        // which the manager's open notice (17) clears as well.
        for (int code : {17, 100, 101})
            QCOMPARE(tables().entry(code).eventClass * 10 + (tables().entry(code).commStatus ? 1 : 0), 171);
        QCOMPARE(tables().entry(100).number, tables().entry(101).number);
        QCOMPARE(tables().entry(17).number, tables().entry(101).number);
        for (const EventEntry &e : tables().events()) // elsewhere a CommStatus would turn alarms into restores
            QVERIFY2(e.commStatus == 0 || e.code == 17 || e.code == 100 || e.code == 101, qPrintable(QString::number(e.code)));
        QCOMPARE(tables().entry(12).eventClass, 11); // both reset codes reset
        QCOMPARE(tables().entry(121).eventClass, 11);

        // A restore of a tracked class clears only under a number some present
        // code uses; otherwise its condition stays active for ever. (916 is
        // only replayed by a restore-all on this Birch site.)
        QSet<int> present;
        for (const EventEntry &e : tables().events())
            if (trackedClass(e.eventClass) && e.property == 1)
                present.insert(numberOf(e));
        for (const EventEntry &e : tables().events())
            if (trackedClass(e.eventClass) && e.property == 0 && !e.isRestoreAll && e.code != 916)
                QVERIFY2(present.contains(numberOf(e)), qPrintable(QStringLiteral("restore %1 clears nothing").arg(e.code)));
        // The copies of a restore-all clear fault, action and feedback.
        QCOMPARE(numberOf(tables().entry(913)) * 100 + numberOf(tables().entry(915)) * 10 + numberOf(tables().entry(916)), 756);
        // The pairs of the panels' own code tables share their numbers.
        const QList<QPair<int, int>> pairs{{3, 913}, {4, 914}, {5, 915}, {6, 7}, {8, 918}, {8, 9}, {2, 2003},
                                           {125, 126}, {127, 128}, {3100, 9100}, {3101, 9101}, {111, 114}, {112, 115}};
        for (const auto &pair : pairs)
            QCOMPARE(tables().entry(pair.second).number, tables().entry(pair.first).number);
    }

    void systemTypesAndIni()
    {
        for (int code : {10, 11, 20, 22, 30, 31, 32, 40, 41, 50, 150, 160, 190, 200, 231, 232, 233, 234, 240, 241, 250, 251, 252, 253})
            QVERIFY2(!tables().systemType(code).name.isEmpty() && tables().systemType(code).isNet == (code == 240 || code == 241),
                     qPrintable(QString::number(code)));
        QVERIFY(!tables().appName(sitePath("SysSet.xml")).trimmed().isEmpty());
        // config.ini stays ASCII, so it reads the same as GBK.
        const QByteArray ini = TestFiles::read(sitePath("config.ini"));
        QVERIFY(!ini.isEmpty());
        for (const char c : ini)
            QVERIFY(uchar(c) < 0x80);
    }
};

QTEST_GUILESS_MAIN(TestSiteFiles)
#include "tst_sitefiles.moc"
