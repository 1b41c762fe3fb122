#include "clients/eventqueue.h"

void EventQueue::append(const CEvent &e)
{
    const quint64 idx = m_base + m_slots.size();
    m_slots.push_back(Slot{e, true});
    ++m_nLive;
    if (e.nEventProperty != 0)
        m_presentByCode[e.strCode].push_back(idx);
}

void EventQueue::dropHoles()
{
    while (!m_slots.empty() && !m_slots.front().bAlive) {
        m_slots.pop_front();
        ++m_base;
    }
}

CEvent EventQueue::takeFirst()
{
    dropHoles();
    Slot &s = m_slots.front();
    CEvent e = std::move(s.e);
    if (e.nEventProperty != 0) {
        // The front live slot is the smallest live index, so it heads its
        // code's index list.
        auto it = m_presentByCode.find(e.strCode);
        if (it != m_presentByCode.end()) {
            it->pop_front();
            if (it->empty())
                m_presentByCode.erase(it);
        }
    }
    m_slots.pop_front();
    ++m_base;
    --m_nLive;
    dropHoles();
    return e;
}

bool EventQueue::removeFirstPresent(const QString &strCode)
{
    auto it = m_presentByCode.find(strCode);
    if (it == m_presentByCode.end())
        return false;
    const quint64 idx = it->front();
    it->pop_front();
    if (it->empty())
        m_presentByCode.erase(it);
    Slot &s = m_slots[size_t(idx - m_base)];
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
