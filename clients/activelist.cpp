#include "clients/activelist.h"

#include <algorithm>

QString conditionCode(const CEvent &e)
{
    if (!e.strCode.isEmpty())
        return e.strCode;
    return QStringLiteral("#panel%1").arg(e.nPanelID);
}

bool ActiveList::isOpenEntry(const CEvent &e)
{
    return (e.nEventType == 13 || e.nEventType == 14) && e.nEventProperty == 1;
}

quint64 ActiveList::append(const CEvent &e, bool bDelivered)
{
    const quint64 n = m_nNext++;
    m_items.emplace_hint(m_items.end(), n, Entry{e, bDelivered});
    m_byCode[conditionCode(e)].append(n);
    if (isOpenEntry(e))
        m_open[openKey(e.nEventType, e.nPanelID)].insert(n);
    return n;
}

void ActiveList::erase(Items::iterator it)
{
    const quint64 n = it->first;
    const CEvent &e = it->second.e;
    auto codeIt = m_byCode.find(conditionCode(e));
    if (codeIt != m_byCode.end()) {
        QVector<quint64> &v = *codeIt;
        // Usually one or two entries per code.
        const auto pos = std::lower_bound(v.begin(), v.end(), n);
        if (pos != v.end() && *pos == n)
            v.erase(pos);
        if (v.isEmpty())
            m_byCode.erase(codeIt);
    }
    if (isOpenEntry(e)) {
        auto openIt = m_open.find(openKey(e.nEventType, e.nPanelID));
        if (openIt != m_open.end()) {
            openIt->erase(n);
            if (openIt->empty())
                m_open.erase(openIt);
        }
    }
    m_items.erase(it);
}

void ActiveList::markDelivered(quint64 n)
{
    auto it = m_items.find(n);
    if (it != m_items.end())
        it->second.bDelivered = true;
}

void ActiveList::removeOldest()
{
    if (!m_items.empty())
        erase(m_items.begin());
}

int ActiveList::removeByCode(const QString &strCode)
{
    auto codeIt = m_byCode.find(strCode);
    if (codeIt == m_byCode.end())
        return 0;
    const QVector<quint64> numbers = *codeIt;
    for (quint64 n : numbers) {
        auto it = m_items.find(n);
        if (it != m_items.end())
            erase(it);
    }
    return numbers.size();
}

bool ActiveList::removeOldestOpen(int nClass, quint8 nPanelID)
{
    auto openIt = m_open.find(openKey(nClass, nPanelID));
    if (openIt == m_open.end() || openIt->empty())
        return false;
    auto it = m_items.find(*openIt->begin());
    if (it == m_items.end())
        return false;
    erase(it);
    return true;
}

int ActiveList::removeIf(const std::function<bool(const CEvent &)> &bRemove)
{
    int n = 0;
    for (auto it = m_items.begin(); it != m_items.end();) {
        auto next = std::next(it);
        if (bRemove(it->second.e)) {
            erase(it);
            ++n;
        }
        it = next;
    }
    return n;
}

void ActiveList::clear()
{
    m_items.clear();
    m_byCode.clear();
    m_open.clear();
}

QList<CEvent> ActiveList::events() const
{
    QList<CEvent> out;
    out.reserve(int(m_items.size()));
    for (const auto &item : m_items)
        out.append(item.second.e);
    return out;
}

QList<QPair<quint64, CEvent>> ActiveList::delivered() const
{
    QList<QPair<quint64, CEvent>> out;
    out.reserve(int(m_items.size()));
    for (const auto &item : m_items) {
        if (item.second.bDelivered)
            out.append({item.first, item.second.e});
    }
    return out;
}
