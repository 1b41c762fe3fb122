#pragma once
// One waiting queue of the dispatcher: first in, first out, plus a fast
// "take the first waiting present event of this device code" that a restore
// uses to cancel a presence that never went out.

#include "core/cevent.h"

#include <QHash>
#include <QList>
#include <QString>

#include <deque>
#include <functional>

class EventQueue
{
public:
    void append(const CEvent &e);
    bool isEmpty() const { return m_nLive == 0; }
    int size() const { return m_nLive; }
    // Precondition: not empty.
    CEvent takeFirst();
    // Removes the first waiting event whose nEventProperty is not 0 and whose
    // strCode equals strCode; false when there is none.
    bool removeFirstPresent(const QString &strCode);
    // The waiting events in order.
    QList<CEvent> events() const;
    // Removes the events for which bTake is true and returns them in order.
    QList<CEvent> takeIf(const std::function<bool(const CEvent &)> &bTake);
    void clear();

    // Set once the queue has passed the warning threshold, so the warning is
    // written once per filling rather than once per event.
    bool bWarned = false;

private:
    struct Slot
    {
        CEvent e;
        bool bAlive;
    };
    // Slots are addressed by an absolute index (m_base + position) that
    // survives pops at the front; removed slots stay as holes until they
    // reach the front, so no removal shifts the deque.
    std::deque<Slot> m_slots;
    quint64 m_base = 0;
    int m_nLive = 0;
    // Absolute indices of live slots with nEventProperty != 0, ascending.
    QHash<QString, std::deque<quint64>> m_presentByCode;

    void dropHoles();
};
