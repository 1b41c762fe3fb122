#pragma once
// The dispatcher's list of events of present conditions, in arrival order:
// the backlog a client receives after login. Indexed so that removing the
// entries of one device code, or the oldest open entry of a class-13/14
// panel, does not scan the list.

#include "core/cevent.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>
#include <map>
#include <set>

// The code by which the conditions of one device are matched: strCode, or,
// for a panel-level event that carries no device code (communication lost
// and restored), a code of its own panel, so that one panel's restore never
// clears, cancels or hides another panel's loss.
QString conditionCode(const CEvent &e);

class ActiveList
{
public:
    // Returns the entry's arrival number. An entry counts as delivered
    // unless bDelivered is false, until markDelivered.
    quint64 append(const CEvent &e, bool bDelivered = true);
    void markDelivered(quint64 n);
    bool contains(quint64 n) const { return m_items.count(n) != 0; }
    int size() const { return int(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }
    void removeOldest();
    // Removes every entry with this strCode; returns how many.
    int removeByCode(const QString &strCode);
    // Removes the oldest entry of class 13 or 14 (nClass) and this panel whose
    // nEventProperty is 1; false when there is none.
    bool removeOldestOpen(int nClass, quint8 nPanelID);
    // Removes the entries for which bRemove is true; returns how many.
    int removeIf(const std::function<bool(const CEvent &)> &bRemove);
    void clear();
    QList<CEvent> events() const;
    // The entries already delivered, with their arrival numbers, in order.
    QList<QPair<quint64, CEvent>> delivered() const;

private:
    struct Entry
    {
        CEvent e;
        bool bDelivered; // false while it waits in a queue of the dispatcher
    };
    using Items = std::map<quint64, Entry>; // arrival number -> entry
    Items m_items;
    quint64 m_nNext = 0;
    // Arrival numbers per strCode, ascending.
    QHash<QString, QVector<quint64>> m_byCode;
    // Arrival numbers of class-13/14 entries with nEventProperty 1, per
    // class and panel.
    QHash<quint64, std::set<quint64>> m_open;

    static bool isOpenEntry(const CEvent &e);
    static quint64 openKey(int nClass, quint8 nPanelID)
    {
        return (quint64(quint32(nClass)) << 8) | nPanelID;
    }
    void erase(Items::iterator it);
};
