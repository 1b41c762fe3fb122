#include "core/cevent.h"

#include <QDateTime>
#include <QHash>
#include <atomic>

CEvent::CEvent()
    : nCom(0), nPanelID(0), nPanelType(0), nEventType(0), nEventCode(0), nEventProperty(0),
      nLoop(0), nAddress(0), nDevType(0), nChannel(0), nValue(0),
      strCode(""), strEndCode(""), strNote(""), strTime(""), strExtra(""), nReserved(0), nEventNo(-1)
{
}

bool CEvent::operator==(const CEvent &o) const
{
    return nCom == o.nCom && nPanelID == o.nPanelID && nPanelType == o.nPanelType
        && nEventType == o.nEventType && nEventCode == o.nEventCode
        && nEventProperty == o.nEventProperty && nLoop == o.nLoop && nAddress == o.nAddress
        && nDevType == o.nDevType && nChannel == o.nChannel && nValue == o.nValue
        && strCode == o.strCode && strEndCode == o.strEndCode && strNote == o.strNote
        && strTime == o.strTime && strExtra == o.strExtra && nReserved == o.nReserved
        && nEventNo == o.nEventNo && strEventName == o.strEventName;
}


int CEvent::typeId()
{
    // Declared lazily and cached; a concurrent first use registers the same
    // name again and Qt hands back the same identifier.
    static std::atomic<int> cached{0};
    int id = cached.load(std::memory_order_acquire);
    if (id == 0) {
        // Constructed, copied and destroyed through its own operations; the
        // type is not declared movable, so Qt never relocates it by memcpy.
        id = qRegisterMetaType<CEvent>("CEvent");
        cached.store(id, std::memory_order_release);
    }
    return id;
}

// Declared before main runs: drivers emit CEvent across threads, and a queued
// signal of an undeclared type is dropped with only a warning.
static const int s_nTypeId = CEvent::typeId();

QVariant CEvent::toVariant() const
{
    return QVariant(typeId(), this);
}

CEvent CEvent::fromVariant(const QVariant &v)
{
    const int id = typeId();
    if (v.userType() == id)
        return *static_cast<const CEvent *>(v.constData());
    QVariant copy(v);
    if (copy.convert(id))
        return *static_cast<const CEvent *>(copy.constData());
    return CEvent();
}

QString commandName(int code)
{
    switch (code) {
    case CmdSilence: return QStringLiteral("消音");
    case CmdStart: return QStringLiteral("启动");
    case CmdStop: return QStringLiteral("停动");
    case CmdDisable: return QStringLiteral("屏蔽");
    case CmdEnable: return QStringLiteral("取消屏蔽");
    case CmdReset: return QStringLiteral("复位");
    case CmdSyncTime: return QStringLiteral("对时");
    default: return QString();
    }
}

QString actionName(int code)
{
    static const QHash<int, QString> names = {
        {1, QStringLiteral("复位")},
        {2, QStringLiteral("消音")},
        {3, QStringLiteral("对时")},
        {4, QStringLiteral("连接")},
        {5, QStringLiteral("设备火警")},
        {6, QStringLiteral("设备故障")},
        {7, QStringLiteral("设备动作")},
        {8, QStringLiteral("设备反馈")},
        {9, QStringLiteral("设备监管")},
        {10, QStringLiteral("设备报警")},
        {11, QStringLiteral("设备故障")},
        {12, QStringLiteral("设备损坏故障")},
        {13, QStringLiteral("设备停电故障")},
        {14, QStringLiteral("传感器故障")},
        {15, QStringLiteral("设备失电")},
        {16, QStringLiteral("设备断电")},
        {17, QStringLiteral("设备屏蔽")},
        {18, QStringLiteral("取消屏蔽")},
        {19, QStringLiteral("设备恢复")},
        {20, QStringLiteral("设备启动")},
        {21, QStringLiteral("维保记录")},
        {1000, QStringLiteral("管理机构")},
        {1001, QStringLiteral("系统竣工图")},
        {1002, QStringLiteral("系统控制逻辑关系")},
        {1003, QStringLiteral("设备使用说明书")},
        {1004, QStringLiteral("系统操作规程")},
        {1005, QStringLiteral("应急预案")},
        {1006, QStringLiteral("值班制度")},
        {1007, QStringLiteral("维护保养制度及记录")},
        {1008, QStringLiteral("火灾探测报警系统")},
        {1009, QStringLiteral("消防联动控制器、模块、消防电气控制及消防电动装置")},
        {1010, QStringLiteral("自动喷水、水喷雾灭火系统")},
        {1011, QStringLiteral("消火栓系统")},
        {1012, QStringLiteral("气体、水喷雾灭火系统")},
        {1013, QStringLiteral("泡沫灭火系统")},
        {1014, QStringLiteral("干粉灭火系统")},
        {1015, QStringLiteral("防烟排烟系统")},
        {1016, QStringLiteral("防火门及卷帘系统")},
        {1017, QStringLiteral("电梯")},
        {1018, QStringLiteral("消防电话")},
        {1019, QStringLiteral("消防应急广播")},
        {1020, QStringLiteral("消防应急照明和疏散指示系统")},
        {1021, QStringLiteral("消防电源")},
    };
    return names.value(code, QStringLiteral("全部"));
}

QString nowText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QDebug operator<<(QDebug dbg, const CEvent &e)
{
    QDebugStateSaver saver(dbg);
    dbg.nospace().noquote() << "CEvent(com=" << e.nCom << " panel=" << e.nPanelID
                            << " type=" << e.nPanelType << " class=" << e.nEventType
                            << " code=" << e.nEventCode << " prop=" << e.nEventProperty
                            << " loop=" << e.nLoop << " addr=" << e.nAddress
                            << " dev=" << e.nDevType << " ch=" << e.nChannel
                            << " value=" << e.nValue << " strCode=\"" << e.strCode
                            << "\" end=\"" << e.strEndCode << "\" note=\"" << e.strNote
                            << "\" time=\"" << e.strTime << "\" extra=\"" << e.strExtra << "\" no=" << e.nEventNo
                            << " name=\"" << e.strEventName << "\")";
    return dbg;
}
