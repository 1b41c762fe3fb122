#include "config/configtables.h"

#include "core/apppaths.h"

#include <QDebug>
#include <QDomDocument>
#include <QFile>
#include <QHash>

namespace {
using Attributes = QHash<QString, QString>;

Attributes attributesOf(const QDomElement &e)
{
    Attributes map;
    const QDomNamedNodeMap attrs = e.attributes();
    for (int i = 0; i < attrs.count(); ++i) {
        const QDomAttr a = attrs.item(i).toAttr();
        map.insert(a.name(), a.value());
    }
    return map;
}

// Empty or unparsable text converts to 0, as every attribute of these files does.
int toInt(const Attributes &a, const QString &name)
{
    return a.value(name).trimmed().toInt();
}

bool readFile(const QString &path, QByteArray *data)
{
    QFile f(path);
    if (!f.exists()) {
        qWarning() << "configuration file missing:" << path;
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        qWarning() << "configuration file unreadable:" << path << f.errorString();
        return false;
    }
    *data = f.readAll();
    return true;
}

bool parseDocument(const QByteArray &xml, const QString &source, QDomDocument &doc)
{
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(xml, &message, &line, &column)) {
        qWarning().noquote() << QStringLiteral("configuration file %1 does not parse: line %2 column %3: %4")
                                    .arg(source).arg(line).arg(column).arg(message);
        return false;
    }
    return true;
}

bool readDocument(const QString &path, QDomDocument &doc)
{
    QByteArray xml;
    return readFile(path, &xml) && parseDocument(xml, path, doc);
}

// Every element with the tag below root, at any depth, in document order.
QList<QDomElement> descendants(const QDomElement &root, const QString &tag)
{
    QList<QDomElement> out;
    const QDomNodeList list = root.elementsByTagName(tag);
    for (int i = 0; i < list.count(); ++i)
        out.append(list.at(i).toElement());
    return out;
}

EventEntry entryFrom(const QDomElement &e, int groupClass, bool deviceGroup)
{
    const Attributes a = attributesOf(e);
    EventEntry entry;
    entry.eventClass = groupClass;
    entry.code = toInt(a, QStringLiteral("ComData"));
    entry.name = a.value(QStringLiteral("name"));
    entry.number = a.value(QStringLiteral("EventData"));
    entry.property = toInt(a, QStringLiteral("EventProperty"));
    entry.isPolling = toInt(a, QStringLiteral("IsPolling")) == 1;
    entry.isRestoreAll = deviceGroup && toInt(a, QStringLiteral("bIsRestoreAll")) == 1;
    entry.commStatus = quint8(toInt(a, QStringLiteral("CommStatus")));
    return entry;
}
} // namespace

ConfigTables &ConfigTables::instance()
{
    static ConfigTables *tables = new ConfigTables;
    return *tables;
}

void ConfigTables::clear()
{
    m_events.clear();
    m_classes.clear();
    m_systemTypes.clear();
}

bool ConfigTables::loadEventTable(const QString &path)
{
    const QString file = path.isEmpty() ? AppPaths::file(QStringLiteral("EventConfig.xml")) : path;
    QByteArray xml;
    if (!readFile(file, &xml)) {
        m_events.clear();
        m_classes.clear();
        return false;
    }
    return loadEventTableFrom(xml, file);
}

bool ConfigTables::loadEventTableFrom(const QByteArray &xml, const QString &source)
{
    m_events.clear();
    m_classes.clear();
    QDomDocument doc;
    if (!parseDocument(xml, source, doc))
        return false;
    const QDomElement eventType = doc.documentElement().firstChildElement(QStringLiteral("EventType"));
    const auto groups = [&](const QString &tag, bool device) {
        for (const QDomElement &group : descendants(eventType, tag)) {
            const int groupClass = toInt(attributesOf(group), QStringLiteral("EventData"));
            for (QDomElement e = group.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
                const EventEntry entry = entryFrom(e, groupClass, device);
                m_events.insert(entry.code, entry); // a later entry replaces an earlier one
            }
            if (device)
                m_classes.insert(groupClass);
        }
    };
    groups(QStringLiteral("DevEvent"), true);
    groups(QStringLiteral("SysEvent"), false);
    return true;
}

bool ConfigTables::loadSystemTypes(const QString &path)
{
    const QString file = path.isEmpty() ? AppPaths::file(QStringLiteral("SysSet.xml")) : path;
    QByteArray xml;
    if (!readFile(file, &xml)) {
        m_systemTypes.clear();
        return false;
    }
    return loadSystemTypesFrom(xml, file);
}

bool ConfigTables::loadSystemTypesFrom(const QByteArray &xml, const QString &source)
{
    m_systemTypes.clear();
    QDomDocument doc;
    if (!parseDocument(xml, source, doc))
        return false;
    const QDomElement types = doc.documentElement().firstChildElement(QStringLiteral("SystemType"));
    for (const QDomElement &e : descendants(types, QStringLiteral("System"))) {
        const Attributes a = attributesOf(e);
        SystemTypeEntry entry;
        entry.name = a.value(QStringLiteral("Name"));
        entry.typeCode = toInt(a, QStringLiteral("Value"));
        entry.isNet = toInt(a, QStringLiteral("bIsNet")) == 1;
        m_systemTypes.insert(entry.typeCode, entry);
    }
    return true;
}

QString ConfigTables::appName(const QString &path) const
{
    const QString file = path.isEmpty() ? AppPaths::file(QStringLiteral("SysSet.xml")) : path;
    QDomDocument doc;
    if (!readDocument(file, doc))
        return QString();
    const QDomElement server = doc.documentElement().firstChildElement(QStringLiteral("KelFireServer"));
    QString name;
    for (const QDomElement &e : descendants(server, QStringLiteral("AppSettings"))) {
        if (e.hasAttribute(QStringLiteral("appName")))
            name = e.attribute(QStringLiteral("appName"));
    }
    return name;
}

SystemTypeEntry ConfigTables::systemType(int typeCode) const
{
    return m_systemTypes.value(typeCode, SystemTypeEntry());
}

const EventEntry *ConfigTables::complete(CEvent &e) const
{
    const auto it = m_events.constFind(e.nEventCode);
    if (it == m_events.constEnd()) {
        e.nEventNo = -1;
        e.strEventName.clear();
        return nullptr;
    }
    bool ok = false;
    const int number = it->number.toInt(&ok, 10);
    e.nEventNo = ok && number > 0 ? number : 0;
    e.strEventName = it->name;
    if (it->eventClass != 0)
        e.nEventType = it->eventClass;
    return &*it;
}
