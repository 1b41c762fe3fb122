#pragma once
// The event table and the system-type table read from "EventConfig.xml" and
// "SysSet.xml": one process-wide, read-only-after-start-up instance.

#include "core/cevent.h"

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>

struct EventEntry
{
    int eventClass = 0;       // "EventData" of the enclosing group
    int code = 0;             // "ComData", also the key
    QString name;             // "name"
    QString number;           // "EventData" of the entry: the number clients see
    int property = 0;         // "EventProperty"
    bool isPolling = false;   // "IsPolling" == 1
    bool isRestoreAll = false;// "bIsRestoreAll" == 1 (device events only)
    quint8 commStatus = 0;    // "CommStatus"
};

struct SystemTypeEntry
{
    QString name;        // "Name"
    int typeCode = 20;   // "Value"
    bool isNet = false;  // "bIsNet" == 1
};

class ConfigTables
{
public:
    static ConfigTables &instance();

    // Default paths are in the application directory. Both return false and
    // log one warning when the file is missing or does not parse; the table
    // is then left empty.
    bool loadEventTable(const QString &path = QString());
    bool loadSystemTypes(const QString &path = QString());
    // The same from the file's bytes; source names them in the log.
    bool loadEventTableFrom(const QByteArray &xml, const QString &source);
    bool loadSystemTypesFrom(const QByteArray &xml, const QString &source);
    // "appName" of the last "AppSettings" that has one, read from the file again.
    QString appName(const QString &path = QString()) const;

    bool contains(int code) const { return m_events.contains(code); }
    EventEntry entry(int code) const { return m_events.value(code); }
    const QMap<int, EventEntry> &events() const { return m_events; }
    // Where an event enters the server: its code's table number and name
    // into the record, and the entry's class (when it has one). Null, and
    // nEventNo -1, for a code the table does not know.
    const EventEntry *complete(CEvent &e) const;
    const QSet<int> &eventClasses() const { return m_classes; }
    // Unknown codes give an empty name, code 20, not networked.
    SystemTypeEntry systemType(int typeCode) const;
    const QMap<int, SystemTypeEntry> &systemTypes() const { return m_systemTypes; }

    // For tests: an empty set of tables.
    void clear();

private:
    ConfigTables() = default;
    QMap<int, EventEntry> m_events;
    QSet<int> m_classes;
    QMap<int, SystemTypeEntry> m_systemTypes;
};
