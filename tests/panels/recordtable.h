#pragma once
// A small event table for the 0x7E record panels (Elm, Juniper): the kinds
// their tests send, in a temporary directory, loaded as the process's table.

#include "config/configtables.h"

#include <QFile>
#include <QString>

inline bool loadRecordEventTable(const QString &dir)
{
    const QString path = dir + QStringLiteral("/EventConfig.xml");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(R"(<EventConfig><EventType>
  <DevEvent EventData="1"><Event EventData="1" name="火警" ComData="2" EventProperty="1"/></DevEvent>
  <DevEvent EventData="5"><Event EventData="5" name="动作" ComData="5" EventProperty="1"/>
                          <Event EventData="5" name="动作" ComData="33" EventProperty="1"/></DevEvent>
  <DevEvent EventData="7"><Event EventData="7" name="主电故障" ComData="10" EventProperty="1"/>
                          <Event EventData="7" name="回路故障" ComData="18" EventProperty="1"/></DevEvent>
  <SysEvent EventData="10"><Event EventData="1001" name="系统正常" ComData="1" EventProperty="0"/>
                           <Event EventData="1015" name="状态" ComData="15" EventProperty="0"/>
                           <Event EventData="1037" name="复位" ComData="37" EventProperty="0"/></SysEvent>
</EventType></EventConfig>)");
    f.close();
    return ConfigTables::instance().loadEventTable(path);
}
