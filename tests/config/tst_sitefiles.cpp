// The sample site in site/ is what a new installation starts from and what
// ./run serves. These checks load those very files and look for the mistakes
// that would make a real site misbehave quietly: a raw code some driver emits
// missing from the table, a restore that can never clear its condition, a
// queue the dispatcher never delivers, a switch left on.

#include "config/configtables.h"
#include "core/servercontext.h"

#include <QDomDocument>
#include <QFile>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QtTest>

namespace {
const QString kSite = QStringLiteral(FIRE_SOURCE_DIR "/site");

QString sitePath(const char *name)
{
    return kSite + QLatin1Char('/') + QLatin1String(name);
}

bool hasChinese(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF)
            return true;
    }
    return false;
}

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int i = first; i <= last; ++i)
        out.append(i);
    return out;
}

int numberOf(const EventEntry &e)
{
    bool ok = false;
    const int n = e.number.trimmed().toInt(&ok);
    return ok ? n : 0;
}

// Classes whose present events are remembered per device and whose restores
// clear them again.
bool trackedClass(int c)
{
    return (c >= 1 && c <= 8) || c == 17;
}

const QSet<int> kStandingNumbers{4000, 6000, 7000, 6305};

// Queue keys the dispatcher's delivery tries without being told by the file.
bool fixedDeliveryKey(int key)
{
    return (key >= 24 && key <= 34) || key == 17 || key == 13 || key == 14 || key == 10;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}
} // namespace

class TestSiteFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void everyEmittedCodeHasAnEntry_data();
    void everyEmittedCodeHasAnEntry();
    void entriesAreWellFormed();
    void noCodeIsListedTwice();
    void requiredClassesAndNumbers();
    void everyQueueIsDelivered();
    void communicationCodes();
    void restoreAllAndItsCopies();
    void everyRestoreClearsSomething();
    void systemTypes();
    void xmlFilesDeclareUtf8AndExplainThemselves();
    void iniHoldsEveryKeyWithDemoValues();

private:
    ConfigTables &tables() { return ConfigTables::instance(); }
};

void TestSiteFiles::initTestCase()
{
    tables().clear();
    QVERIFY(tables().loadEventTable(sitePath("EventConfig.xml")));
    QVERIFY(tables().loadSystemTypes(sitePath("SysSet.xml")));
    QVERIFY(!tables().events().isEmpty());
}

void TestSiteFiles::cleanupTestCase()
{
    tables().clear();
}

// The raw codes as each producer emits them, before the table renumbers them.
void TestSiteFiles::everyEmittedCodeHasAnEntry_data()
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
    // Kinds looked up directly: every kind a datagram or record can carry
    // that these models pass to the table.
    QTest::newRow("ControllerElm and ControllerJuniper kinds")
        << range(1, 41) + range(111, 119);
    QTest::newRow("ControllerGlen") << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 111, 112, 113, 114, 115, 116,
                                                  117, 118, 121, 122, 123, 124, 125, 126, 127, 128,
                                                  913, 914, 915, 916, 918, 2001, 2002, 3100, 3101,
                                                  3111, 3112, 3114, 3115, 3116, 3117, 3118, 5201,
                                                  5202, 6205, 6305, 9100, 9101, 9204};
    QTest::newRow("ControllerMarsh") << QList<int>{2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 17, 35, 37, 38, 41};
    QTest::newRow("NB-IoT receiver") << QList<int>{1, 3, 913};
    QTest::newRow("Modbus receiver") << QList<int>{2, 3, 913, 2003};
}

void TestSiteFiles::everyEmittedCodeHasAnEntry()
{
    QFETCH(QList<int>, codes);
    QStringList missing;
    for (int code : codes) {
        if (!tables().contains(code))
            missing << QString::number(code);
    }
    QVERIFY2(missing.isEmpty(), qPrintable("no entry for " + missing.join(QLatin1Char(' '))));
}

void TestSiteFiles::entriesAreWellFormed()
{
    for (const EventEntry &e : tables().events()) {
        const QByteArray what = "ComData " + QByteArray::number(e.code);
        bool ok = false;
        const int n = e.number.trimmed().toInt(&ok);
        QVERIFY2(ok && n > 0, what + " has no positive EventData: " + e.number.toUtf8());
        // Class 0 would leave the event in a queue that is never delivered.
        QVERIFY2(e.eventClass > 0, what + " has no class");
        QVERIFY2(hasChinese(e.name), what + " has no Chinese name");
        QVERIFY2(e.property == 0 || e.property == 1, what + " has an odd EventProperty");
    }
}

// A second entry with the same ComData replaces the first without a word;
// the sample must not rely on that.
void TestSiteFiles::noCodeIsListedTwice()
{
    QDomDocument doc;
    QFile f(sitePath("EventConfig.xml"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(doc.setContent(&f));
    const QDomElement eventType = doc.documentElement().firstChildElement(QStringLiteral("EventType"));
    QVERIFY(!eventType.isNull());

    QMap<int, int> seen;
    int entries = 0;
    for (const QString &tag : {QStringLiteral("DevEvent"), QStringLiteral("SysEvent")}) {
        const QDomNodeList groups = eventType.elementsByTagName(tag);
        for (int i = 0; i < groups.count(); ++i) {
            for (QDomElement e = groups.at(i).firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
                ++entries;
                ++seen[e.attribute(QStringLiteral("ComData")).toInt()];
            }
        }
    }
    QStringList twice;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        if (it.value() > 1)
            twice << QString::number(it.key());
    }
    QVERIFY2(twice.isEmpty(), qPrintable("listed more than once: " + twice.join(QLatin1Char(' '))));
    QCOMPARE(tables().events().size(), entries);
}

void TestSiteFiles::requiredClassesAndNumbers()
{
    QSet<int> classes;
    QSet<int> numbers;
    for (const EventEntry &e : tables().events()) {
        classes.insert(e.eventClass);
        numbers.insert(numberOf(e));
    }
    for (int c : {11, 13, 14, 15, 16, 17})
        QVERIFY2(classes.contains(c), qPrintable(QStringLiteral("no entry of class %1").arg(c)));
    for (int c = 1; c <= 8; ++c)
        QVERIFY2(tables().eventClasses().contains(c), qPrintable(QStringLiteral("no device class %1").arg(c)));
    for (int n : kStandingNumbers)
        QVERIFY2(numbers.contains(n), qPrintable(QStringLiteral("no entry numbered %1").arg(n)));

    // Both reset codes reset.
    QCOMPARE(tables().entry(12).eventClass, 11);
    QCOMPARE(tables().entry(121).eventClass, 11);
}

// The dispatcher queues by class, or by the number itself for the standing
// numbers, and delivers only queues whose key it knows: the fixed ones or the
// classes of the DevEvent groups. Anything else would wait forever.
void TestSiteFiles::everyQueueIsDelivered()
{
    const QSet<int> &configured = tables().eventClasses();
    for (const EventEntry &e : tables().events()) {
        if (e.isRestoreAll || e.eventClass == 11 || e.eventClass == 16)
            continue; // never queued: replayed, or sent at once
        const int number = numberOf(e);
        const int key = kStandingNumbers.contains(number) ? number : e.eventClass;
        QVERIFY2(fixedDeliveryKey(key) || configured.contains(key),
                 qPrintable(QStringLiteral("ComData %1 waits in queue %2, which is never delivered")
                                .arg(e.code)
                                .arg(key)));
    }
}

void TestSiteFiles::communicationCodes()
{
    for (int code : {17, 100, 101}) {
        const EventEntry e = tables().entry(code);
        QVERIFY2(e.commStatus != 0, qPrintable(QStringLiteral("%1 must keep the driver's property").arg(code)));
        QCOMPARE(e.eventClass, 17);
    }
    // A restore clears only under its own number: 100 must clear 101, and the
    // panel manager's code-17 notice on opening a panel must clear either.
    QCOMPARE(tables().entry(100).number, tables().entry(101).number);
    QCOMPARE(tables().entry(17).number, tables().entry(101).number);

    // Every other driver leaves the property to the table; a CommStatus on
    // its codes would turn each of its alarms into a restore.
    for (const EventEntry &e : tables().events()) {
        if (e.code != 17 && e.code != 100 && e.code != 101)
            QVERIFY2(e.commStatus == 0, qPrintable(QStringLiteral("ComData %1 has CommStatus").arg(e.code)));
    }
}

void TestSiteFiles::restoreAllAndItsCopies()
{
    int restoreAll = 0;
    for (const EventEntry &e : tables().events()) {
        if (e.isRestoreAll) {
            ++restoreAll;
            QVERIFY(tables().eventClasses().contains(e.eventClass));
        }
    }
    QVERIFY2(restoreAll > 0, "no bIsRestoreAll entry");

    // The copies clear fault, action and feedback, in that order.
    const QList<QPair<int, int>> copies{{913, 7}, {915, 5}, {916, 6}};
    for (const auto &copy : copies) {
        QVERIFY(tables().contains(copy.first));
        const EventEntry e = tables().entry(copy.first);
        QCOMPARE(numberOf(e), copy.second);
        QCOMPARE(e.property, 0);
        QVERIFY(trackedClass(e.eventClass));
        QVERIFY(!e.isRestoreAll);
    }
}

// A restore of a tracked class that no present code shares a number with
// clears nothing, and the condition it was meant for stays active (its later
// reports are then dropped as repeats).
void TestSiteFiles::everyRestoreClearsSomething()
{
    QSet<int> presentNumbers;
    for (const EventEntry &e : tables().events()) {
        if (trackedClass(e.eventClass) && e.property == 1)
            presentNumbers.insert(numberOf(e));
    }
    for (const EventEntry &e : tables().events()) {
        if (!trackedClass(e.eventClass) || e.property != 0 || e.isRestoreAll)
            continue;
        // The feedback restore is only ever replayed by a restore-all; this
        // Birch site has no feedback code of its own.
        if (e.code == 916)
            continue;
        QVERIFY2(presentNumbers.contains(numberOf(e)),
                 qPrintable(QStringLiteral("restore %1 (number %2) matches no present code")
                                .arg(e.code)
                                .arg(e.number)));
    }
    // The pairs of the panels' own code tables share their numbers.
    const QList<QPair<int, int>> pairs{{3, 913}, {4, 914}, {5, 915}, {6, 7}, {8, 918}, {8, 9},
                                       {2, 2003}, {125, 126}, {127, 128}, {3100, 9100}, {3101, 9101},
                                       {111, 114}, {112, 115}};
    for (const auto &pair : pairs)
        QCOMPARE(tables().entry(pair.second).number, tables().entry(pair.first).number);
}

void TestSiteFiles::systemTypes()
{
    const QList<int> codes{10, 11, 20, 22, 30, 31, 32, 40, 41, 50, 150, 160, 190, 200,
                           231, 232, 233, 234, 240, 241, 250, 251, 252, 253};
    QSet<QString> names;
    for (int code : codes) {
        QVERIFY2(tables().systemTypes().contains(code), qPrintable(QStringLiteral("type %1 missing").arg(code)));
        const SystemTypeEntry t = tables().systemType(code);
        QCOMPARE(t.typeCode, code);
        QVERIFY2(hasChinese(t.name), qPrintable(QStringLiteral("type %1 has no Chinese name").arg(code)));
        QCOMPARE(t.isNet, code == 240 || code == 241);
        names.insert(t.name);
    }
    // The controller dialog offers the types by name.
    QCOMPARE(names.size(), codes.size());
    QCOMPARE(tables().systemTypes().size(), codes.size());

    const QString app = tables().appName(sitePath("SysSet.xml"));
    QVERIFY(!app.trimmed().isEmpty());
    QVERIFY(hasChinese(app));
}

void TestSiteFiles::xmlFilesDeclareUtf8AndExplainThemselves()
{
    for (const char *name : {"EventConfig.xml", "SysSet.xml"}) {
        const QByteArray bytes = readAll(sitePath(name));
        QVERIFY2(bytes.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"), name);
        QDomDocument doc;
        QVERIFY(doc.setContent(bytes));
        // The comment block comes before the document element.
        QDomNode first = doc.firstChild();
        while (!first.isNull() && first.isProcessingInstruction())
            first = first.nextSibling();
        QVERIFY2(first.isComment() && first.nodeValue().contains(QLatin1String(name)), name);
    }
}

void TestSiteFiles::iniHoldsEveryKeyWithDemoValues()
{
    const QString path = sitePath("config.ini");
    const QByteArray bytes = readAll(path);
    QVERIFY(!bytes.isEmpty());
    for (const char c : bytes)
        QVERIFY2(uchar(c) < 0x80, "config.ini must stay ASCII so it reads the same as GBK");
    QVERIFY(bytes.startsWith(';'));

    QSettings ini(path, QSettings::IniFormat);
    ini.setIniCodec("GBK");
    QCOMPARE(ini.status(), QSettings::NoError);
    for (const char *key : {"System/NetName", "Server/isHaveNB", "Server/isHaveModbus", "Server/isHaveHttp",
                            "Server/httpIP", "Server/HttpSubname", "Server/HttpUsername",
                            "Server/HttpPassword", "Server/HttpSign", "Server/isHaveUserType",
                            "Server/isControl", "Setting/bRemote", "Com/disconnectTimes"})
        QVERIFY2(ini.contains(QLatin1String(key)), key);

    ServerContext::instance().loadIni(path);
    const IniSwitches s = ServerContext::instance().switches;
    const ServerContext &ctx = ServerContext::instance();
    QVERIFY(!s.isHaveNB);
    QVERIFY(!s.isHaveModbus);
    QVERIFY(!s.isHaveHttp);
    QVERIFY(s.httpIP.isEmpty());
    QVERIFY(s.httpSubname.isEmpty());
    QVERIFY(!ctx.isHaveUserType);
    QVERIFY(!ctx.bRemote);
    QVERIFY(ctx.isControl);
    QVERIFY(ctx.netName.isEmpty());
    QCOMPARE(ctx.serverAddress, QHostAddress(QHostAddress::LocalHost));
    QVERIFY(s.disconnectTimes > 0 && s.disconnectTimes <= 30);
}

QTEST_GUILESS_MAIN(TestSiteFiles)
#include "tst_sitefiles.moc"
