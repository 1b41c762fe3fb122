#pragma once
// The one record that panels, the dispatcher, clients and gateways exchange.
// It travels by value, in queued signals of its registered type, across threads.

#include <QDebug>
#include <QMetaType>
#include <QString>
#include <QVariant>

class CEvent
{
public:
    CEvent();

    quint8 nCom;
    quint8 nPanelID;
    qint32 nPanelType;
    qint32 nEventType;
    qint32 nEventCode;
    qint32 nEventProperty;
    qint32 nLoop;
    qint32 nAddress;
    qint32 nDevType;
    qint32 nChannel;
    qint32 nValue;
    QString strCode;
    QString strEndCode;
    QString strNote;
    QString strTime;
    QString strExtra;
    qint32 nReserved;
    // From the event table, filled where the event enters the server (see
    // ConfigTables::complete): nEventCode stays the code the source gave.
    qint32 nEventNo;     // the table's number for the code, the one clients see; -1 not in the table
    QString strEventName;

    bool operator==(const CEvent &o) const;
    bool operator!=(const CEvent &o) const { return !(*this == o); }

    // The process-wide type identifier of "CEvent"; the first call declares it.
    static int typeId();
    QVariant toVariant() const;
    // Stored record, else a conversion, else a default record.
    static CEvent fromVariant(const QVariant &v);
};

// Command codes carried in nEventCode towards a driver.
enum CommandCode : int {
    CmdSilence = 0x89,
    CmdStart = 0x90,
    CmdStop = 0x91,
    CmdDisable = 0x92,
    CmdEnable = 0x93,
    CmdReset = 0x94,
    CmdSyncTime = 0x95,
    CmdReadValueSwitch = 0x96,
    CmdControl97 = 0x97,
    CmdReadValue = 0x98,
};

// Chinese display name of a command code, as the client service logs it
// (empty for codes that have none).
QString commandName(int code);

// Chinese display name of an action or document code; "全部" for any other.
QString actionName(int code);

// The current local time as "yyyy-MM-dd hh:mm:ss".
QString nowText();

QDebug operator<<(QDebug dbg, const CEvent &e);

Q_DECLARE_METATYPE(CEvent)
