// The XML tables: the event table and the system types, and how bad files
// are told.

#include "common/testfiles.h"
#include "config/configtables.h"

#include <QtTest>

class TestConfigTables : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    ConfigTables &t = ConfigTables::instance();

    QString write(const char *name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(QLatin1String(name));
        return TestFiles::write(path, content) ? path : QString();
    }

private slots:
    void init() { t.clear(); }

    void eventTable()
    {
        QVERIFY(t.loadEventTable(write("EventConfig.xml", R"(<Config><EventType>
  <DevEvent EventData="1">
    <Item ComData="5" EventData="1" name="火警" EventProperty="1" IsPolling="1"/>
    <Item ComData="9" name="无编号" EventProperty="1"/>
  </DevEvent>
  <Group><DevEvent EventData="7">
    <Fault ComData="5" EventData="1203" name="故障" EventProperty="1" IsPolling="2" bIsRestoreAll="1"/>
  </DevEvent></Group>
  <SysEvent EventData="12">
    <Item ComData="101" EventData="101" EventProperty="1" CommStatus="1" bIsRestoreAll="1"/>
  </SysEvent>
  <DevEvent EventData="x"><i ComData="12" EventProperty="yes" CommStatus=""/></DevEvent>
</EventType></Config>)")));
        QCOMPARE(t.events().size(), 4);
        // A later entry wins with its own class, in any nesting.
        const EventEntry five = t.entry(5);
        QCOMPARE(QStringList({QString::number(five.eventClass), five.number, five.name}), QStringList({"7", "1203", "故障"}));
        QVERIFY(!five.isPolling && five.isRestoreAll); // "2" is not 1
        QVERIFY(t.entry(9).number.isEmpty());
        const EventEntry comm = t.entry(101);
        QCOMPARE(comm.eventClass * 10 + comm.commStatus, 121);
        QVERIFY(!comm.isRestoreAll); // only device events carry the flag
        // Attributes that are no numbers read as 0.
        QCOMPARE(t.entry(12).eventClass + t.entry(12).property + t.entry(12).commStatus, 0);
        QCOMPARE(t.eventClasses(), (QSet<int>{0, 1, 7}));
        QVERIFY(t.contains(101) && !t.contains(6));

        // The record gets its code's number, name and class; the code stays.
        CEvent e;
        e.nEventCode = 5;
        QVERIFY(t.complete(e));
        QCOMPARE(QStringList({QString::number(e.nEventCode), QString::number(e.nEventNo), e.strEventName,
                              QString::number(e.nEventType)}),
                 QStringList({"5", "1203", "故障", "7"}));
        e.nEventCode = 9; // no number: known, but nothing a client could be shown
        QVERIFY(t.complete(e));
        QCOMPARE(e.nEventNo, 0);
        e.nEventCode = 6;
        QVERIFY(!t.complete(e));
        QCOMPARE(e.nEventNo, -1);
        QVERIFY(e.strEventName.isEmpty());
    }

    void systemTypesAndAppName()
    {
        const QString path = write("SysSet.xml", R"(<Root>
  <SystemType>
    <System Value="20" Name="串口控制器"/>
    <System Value="240" Name="网络控制器" bIsNet="1"/>
    <System Value="240" Name="网络控制器二" bIsNet="1"/>
  </SystemType>
  <KelFireServer>
    <AppSettings appName="第一"/><AppSettings appName="消防报警服务器"/><AppSettings other="x"/>
  </KelFireServer>
</Root>)");
        QVERIFY(t.loadSystemTypes(path));
        QCOMPARE(t.systemTypes().size(), 2);
        QVERIFY(!t.systemType(20).isNet && t.systemType(240).isNet);
        QCOMPARE(t.systemType(240).name, QStringLiteral("网络控制器二"));
        const SystemTypeEntry unknown = t.systemType(77);
        QVERIFY(unknown.name.isEmpty() && unknown.typeCode == 20 && !unknown.isNet);
        QCOMPARE(t.appName(path), QStringLiteral("消防报警服务器"));
    }

    void badFilesAreToldAndLeaveTheTableEmpty()
    {
        QVERIFY(t.loadEventTable(write("good.xml", "<a><EventType><DevEvent EventData=\"1\"><i ComData=\"1\" EventData=\"1\"/>"
                                                   "</DevEvent></EventType></a>")));
        LogCapture log;
        QVERIFY(!t.loadEventTable(write("bad.xml", "<a>\n<EventType>\n<DevEvent EventData=\"1\">\n<i ComData=\"1\"</EventType>")));
        QVERIFY(t.events().isEmpty());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(QRegularExpression("bad.xml.*line 4.*column").match(log.lines().first()).hasMatch());
        QVERIFY(!t.loadSystemTypes(m_dir.filePath("absent.xml")));
        QCOMPARE(log.count("absent.xml"), 1);
        QVERIFY(t.appName(m_dir.filePath("absent.xml")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConfigTables)
#include "tst_configtables.moc"
