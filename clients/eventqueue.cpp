#include "clients/eventqueue.h"

#include "clients/activelist.h"

void EventQueue::append(const CEvent &e, quint64 tag)
{
    const quint64 idx = m_base + m_slots.size();
    m_slots.push_back(Slot{e, true, kNone, tag});
    ++m_nLive;
    if (e.nEventProperty == 0)
        return;
    auto it = m_presentByCode.find(conditionCode(e));
    if (it == m_presentByCode.end()) {
        m_presentByCode.insert(conditionCode(e), Chain{idx, idx});
    } else {
        at(it->nTail).nNextSameCode = idx;
        it->nTail = idx;
    }
}

void EventQueue::dropHoles()
{
    while (!m_slots.empty() && !m_slots.front().bAlive) {
        m_slots.pop_front();
        ++m_base;
    }
}

void EventQueue::unlinkHead(const QString &strCode, quint64 idx)
{
    auto it = m_presentByCode.find(strCode);
    if (it == m_presentByCode.end() || it->nHead != idx)
        return; // cannot happen while the chains are consistent
    const quint64 next = at(idx).nNextSameCode;
    if (next == kNone)
        m_presentByCode.erase(it);
    else
        it->nHead = next;
}

CEvent EventQueue::takeFirst(quint64 *tag)
{
    dropHoles();
    const quint64 idx = m_base;
    // The front live slot is the oldest of its code, so it heads its chain.
    if (m_slots.front().e.nEventProperty != 0)
        unlinkHead(conditionCode(m_slots.front().e), idx);
    CEvent e = std::move(m_slots.front().e);
    if (tag)
        *tag = m_slots.front().nTag;
    m_slots.pop_front();
    ++m_base;
    --m_nLive;
    dropHoles();
    return e;
}

bool EventQueue::removeFirstPresent(const QString &strCode)
{
    auto it = m_presentByCode.constFind(strCode);
    if (it == m_presentByCode.constEnd())
        return false;
    const quint64 idx = it->nHead;
    unlinkHead(strCode, idx);
    Slot &s = at(idx);
    s.bAlive = false;
    s.e = CEvent();
    --m_nLive;
    dropHoles();
    return true;
}

QList<CEvent> EventQueue::events() const
{
    QList<CEvent> out;
    out.reserve(m_nLive);
    for (const Slot &s : m_slots) {
        if (s.bAlive)
            out.append(s.e);
    }
    return out;
}

QList<CEvent> EventQueue::takeIf(const std::function<bool(const CEvent &)> &bTake)
{
    // Copies are cheap (shared strings); rebuilding keeps the index simple
    // and this only runs on a port-wide reset.
    QList<CEvent> taken;
    QList<CEvent> kept;
    for (const Slot &s : m_slots) {
        if (!s.bAlive)
            continue;
        if (bTake(s.e))
            taken.append(s.e);
        else
            kept.append(s.e);
    }
    if (taken.isEmpty())
        return taken;
    const bool bWasWarned = bWarned;
    clear();
    bWarned = bWasWarned;
    for (const CEvent &e : qAsConst(kept))
        append(e);
    return taken;
}

void EventQueue::clear()
{
    m_slots.clear();
    m_base = 0;
    m_nLive = 0;
    m_presentByCode.clear();
    bWarned = false;
}
