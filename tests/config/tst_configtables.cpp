#include "config/configtables.h"

#include <QtTest>

class TestConfigTables : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QStringList m_warnings;

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
        return path;
    }

    static TestConfigTables *s_self;
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
    {
        if (type == QtWarningMsg)
            s_self->m_warnings << msg;
    }

private slots:
    void init()
    {
        s_self = this;
        m_warnings.clear();
        ConfigTables::instance().clear();
    }

    void laterEntryWinsWithItsOwnClass()
    {
        const QString path = write("EventConfig.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <EventType>
    <DevEvent EventData="1">
      <Item ComData="5" EventData="1" name="火警" EventProperty="1" IsPolling="1"/>
      <Item ComData="9" name="无编号" EventProperty="1"/>
    </DevEvent>
    <Group>
      <DevEvent EventData="7">
        <Fault ComData="5" EventData="1203" name="故障" EventProperty="1" IsPolling="2" bIsRestoreAll="1"/>
      </DevEvent>
    </Group>
    <SysEvent EventData="12">
      <Item ComData="101" EventData="101" name="通讯故障" EventProperty="1" CommStatus="1" bIsRestoreAll="1"/>
    </SysEvent>
  </EventType>
</Config>)");
        ConfigTables &t = ConfigTables::instance();
        QVERIFY(t.loadEventTable(path));
        QCOMPARE(t.events().size(), 3);
        const EventEntry five = t.entry(5);
        QCOMPARE(five.eventClass, 7);
        QCOMPARE(five.number, QStringLiteral("1203"));
        QCOMPARE(five.name, QStringLiteral("故障"));
        QVERIFY(!five.isPolling);   // "2" is not 1
        QVERIFY(five.isRestoreAll);
        const EventEntry nine = t.entry(9);
        QVERIFY(nine.number.isEmpty());
        QCOMPARE(nine.eventClass, 1);
        const EventEntry comm = t.entry(101);
        QCOMPARE(comm.eventClass, 12);
        QCOMPARE(comm.commStatus, quint8(1));
        QVERIFY(!comm.isRestoreAll); // only device events carry the flag
        QCOMPARE(t.eventClasses(), (QSet<int>{1, 7}));
        QVERIFY(t.contains(101));
        QVERIFY(!t.contains(6));
    }

    void systemTypesAndAppName()
    {
        const QString path = write("SysSet.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<Root>
  <SystemType>
    <System Value="20" Name="串口控制器"/>
    <System Value="240" Name="网络控制器" bIsNet="1"/>
    <System Value="240" Name="网络控制器二" bIsNet="1"/>
  </SystemType>
  <KelFireServer>
    <AppSettings appName="第一"/>
    <AppSettings appName="消防报警服务器"/>
    <AppSettings other="x"/>
  </KelFireServer>
</Root>)");
        ConfigTables &t = ConfigTables::instance();
        QVERIFY(t.loadSystemTypes(path));
        QCOMPARE(t.systemTypes().size(), 2);
        QVERIFY(!t.systemType(20).isNet); // no bIsNet: a serial type
        QVERIFY(t.systemType(240).isNet);
        QCOMPARE(t.systemType(240).name, QStringLiteral("网络控制器二"));
        const SystemTypeEntry unknown = t.systemType(77);
        QVERIFY(unknown.name.isEmpty());
        QCOMPARE(unknown.typeCode, 20);
        QVERIFY(!unknown.isNet);
        QCOMPARE(t.appName(path), QStringLiteral("消防报警服务器"));
    }

    void malformedFileLeavesTableEmptyAndNamesThePlace()
    {
        ConfigTables &t = ConfigTables::instance();
        QVERIFY(t.loadEventTable(write("good.xml", "<a><EventType><DevEvent EventData=\"1\"><i ComData=\"1\" EventData=\"1\"/></DevEvent></EventType></a>")));
        QCOMPARE(t.events().size(), 1);
        const QString bad = write("bad.xml", "<a>\n<EventType>\n<DevEvent EventData=\"1\">\n<i ComData=\"1\"</EventType>");
        qInstallMessageHandler(handler);
        const bool ok = t.loadEventTable(bad);
        qInstallMessageHandler(nullptr);
        QVERIFY(!ok);
        QVERIFY(t.events().isEmpty());
        QCOMPARE(m_warnings.size(), 1);
        QVERIFY(m_warnings.first().contains("bad.xml"));
        QVERIFY(m_warnings.first().contains("line 4"));
        QVERIFY(m_warnings.first().contains("column"));
    }

    void missingFileLogsOneWarning()
    {
        qInstallMessageHandler(handler);
        const bool ok = ConfigTables::instance().loadSystemTypes(m_dir.filePath("absent.xml"));
        qInstallMessageHandler(nullptr);
        QVERIFY(!ok);
        QCOMPARE(m_warnings.size(), 1);
        QVERIFY(m_warnings.first().contains("absent.xml"));
        QVERIFY(ConfigTables::instance().appName(m_dir.filePath("absent.xml")).isEmpty());
    }

    void garbageAttributesReadAsZero()
    {
        ConfigTables &t = ConfigTables::instance();
        QVERIFY(t.loadEventTable(write("odd.xml", "<a><EventType><DevEvent EventData=\"x\"><i ComData=\"12\" EventProperty=\"yes\" CommStatus=\"\"/></DevEvent></EventType></a>")));
        const EventEntry e = t.entry(12);
        QCOMPARE(e.eventClass, 0);
        QCOMPARE(e.property, 0);
        QCOMPARE(e.commStatus, quint8(0));
    }
};

TestConfigTables *TestConfigTables::s_self = nullptr;

QTEST_GUILESS_MAIN(TestConfigTables)
#include "tst_configtables.moc"
