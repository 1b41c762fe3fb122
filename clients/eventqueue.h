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
    static constexpr quint64 NoTag = ~quint64(0);
    // tag: a number the owner wants back with the event (the dispatcher's
    // active-list entry of it).
    void append(const CEvent &e, quint64 tag = NoTag);
    bool isEmpty() const { return m_nLive == 0; }
    int size() const { return m_nLive; }
    // Precondition: not empty. *tag receives the event's tag.
    CEvent takeFirst(quint64 *tag = nullptr);
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
    static constexpr quint64 kNone = ~quint64(0);
    struct Slot
    {
        CEvent e;
        bool bAlive;
        quint64 nNextSameCode; // next live present slot of the same strCode
        quint64 nTag;
    };
    // Slots are addressed by an absolute index (m_base + position) that
    // survives pops at the front; removed slots stay as holes until they
    // reach the front, so no removal shifts the deque.
    std::deque<Slot> m_slots;
    quint64 m_base = 0;
    int m_nLive = 0;
    // Per strCode, the first and last live slot with nEventProperty != 0,
    // chained through Slot::nNextSameCode in queue order. One hash node per
    // code and no further allocation.
    struct Chain
    {
        quint64 nHead;
        quint64 nTail;
    };
    QHash<QString, Chain> m_presentByCode;

    Slot &at(quint64 idx) { return m_slots[size_t(idx - m_base)]; }
    // Unlinks the head of strCode's chain, which must be idx.
    void unlinkHead(const QString &strCode, quint64 idx);
    void dropHoles();
};
