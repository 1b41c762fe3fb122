#pragma once
// Shared set-up of the dispatcher tests: a small event table written to a
// temporary EventConfig.xml, event builders and a recorder of what the
// dispatcher hands to clients.

#include "clients/ceventprocess.h"
#include "config/configtables.h"
#include "core/cevent.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace dispatchertest {

// Raw codes (ComData) of the test table and the numbers they map to.
// Classes 13, 14 and 17 sit in a SysEvent group so they are not "event
// classes" and come last in the delivery order.
inline const char *eventTableXml()
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
 <EventType>
  <DevEvent EventData="1" name="fire">
   <Ev ComData="1" EventData="1203" name="fire alarm" EventProperty="1"/>
   <Ev ComData="3" EventData="" name="no number"/>
   <Ev ComData="4" EventData="0" name="zero number"/>
   <Ev ComData="6" EventData="-5" name="negative number"/>
   <Ev ComData="900" EventData="9000" name="restore all" bIsRestoreAll="1"/>
  </DevEvent>
  <DevEvent EventData="2" name="panel">
   <Ev ComData="20" EventData="7101" name="device restored"/>
   <Ev ComData="21" EventData="7115" name="exempt"/>
   <Ev ComData="22" EventData="7102" name="not exempt"/>
  </DevEvent>
  <DevEvent EventData="4" name="fault">
   <Ev ComData="40" EventData="1300" name="fault"/>
   <Ev ComData="47" EventData="7" name="action"/>
   <Ev ComData="913" EventData="7" name="action restored"/>
  </DevEvent>
  <DevEvent EventData="5"><Ev ComData="55" EventData="5"/><Ev ComData="915" EventData="5"/></DevEvent>
  <DevEvent EventData="6"><Ev ComData="66" EventData="6"/><Ev ComData="916" EventData="6"/></DevEvent>
  <DevEvent EventData="8" name="feedback">
   <Ev ComData="80" EventData="8" name="feedback"/>
   <Ev ComData="81" EventData="1800" name="other feedback"/>
  </DevEvent>
  <DevEvent EventData="10"><Ev ComData="100" EventData="1000" name="alarm"/></DevEvent>
  <DevEvent EventData="15"><Ev ComData="150" EventData="1500" name="once per run"/></DevEvent>
  <SysEvent EventData="11"><Ev ComData="110" EventData="1100" name="reset"/></SysEvent>
  <SysEvent EventData="13"><Ev ComData="130" EventData="1313"/></SysEvent>
  <SysEvent EventData="14"><Ev ComData="140" EventData="1414"/></SysEvent>
  <SysEvent EventData="16"><Ev ComData="160" EventData="1600" name="urgent"/></SysEvent>
  <SysEvent EventData="17"><Ev ComData="170" EventData="1700" name="disabled"/></SysEvent>
  <SysEvent EventData="24"><Ev ComData="240" EventData="2400" name="top"/></SysEvent>
  <SysEvent EventData="30"><Ev ComData="400" EventData="4000" name="standing"/></SysEvent>
 </EventType>
</Config>
)";
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline bool loadTable(const QTemporaryDir &dir, const QByteArray &xml = eventTableXml())
{
    const QString path = dir.filePath(QStringLiteral("EventConfig.xml"));
    return writeFile(path, xml) && ConfigTables::instance().loadEventTable(path);
}

inline CEvent ev(int nCode, int nProperty, const QString &strCode, quint8 nCom = 1, quint8 nPanelID = 1,
                 const QString &strEndCode = QString())
{
    CEvent e;
    e.nCom = nCom;
    e.nPanelID = nPanelID;
    e.nPanelType = 20;
    e.nEventCode = nCode;
    e.nEventProperty = nProperty;
    e.strCode = strCode;
    if (!strEndCode.isNull())
        e.strEndCode = strEndCode;
    e.strTime = QStringLiteral("2024-05-01 08:00:00");
    return e;
}

// Records every sendEventToClient and checks it is addressed as a new event
// to all users.
class Recorder
{
public:
    explicit Recorder(CEventProcess &d) : m_spy(&d, &CEventProcess::sendEventToClient) {}

    // Events emitted since the last call.
    QList<CEvent> take()
    {
        QList<CEvent> out;
        for (const QList<QVariant> &args : qAsConst(m_spy)) {
            if (args.at(0).toInt() != 1 || args.at(2).toString() != QLatin1String("ALL"))
                qWarning() << "unexpected addressing" << args.at(0) << args.at(2);
            out.append(CEvent::fromVariant(args.at(1)));
        }
        m_spy.clear();
        return out;
    }
    int count() const { return m_spy.count(); }
    QSignalSpy &spy() { return m_spy; }

private:
    QSignalSpy m_spy;
};

// Ticks until a tick delivers nothing (bounded); returns what went out.
inline QList<CEvent> drain(CEventProcess &d, Recorder &r, int nMaxTicks = 100000)
{
    QList<CEvent> out = r.take();
    for (int i = 0; i < nMaxTicks; ++i) {
        d.tick();
        const QList<CEvent> got = r.take();
        if (got.isEmpty())
            break;
        out += got;
    }
    return out;
}

inline QList<int> codesOf(const QList<CEvent> &events)
{
    QList<int> out;
    for (const CEvent &e : events)
        out.append(e.nEventCode);
    return out;
}

inline QStringList strCodesOf(const QList<CEvent> &events)
{
    QStringList out;
    for (const CEvent &e : events)
        out.append(e.strCode);
    return out;
}

inline QVariant var(const CEvent &e)
{
    return e.toVariant();
}

} // namespace dispatchertest
