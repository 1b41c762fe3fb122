#include "clients/ceventprocess.h"

#include "clients/clientcodec.h"
#include "config/configtables.h"
#include "core/servercontext.h"

#include <QLoggingCategory>

#include <algorithm>
#include <utility>

// The per-event trace goes through its own category so a benchmark or a busy
// site can switch it off ("fire.dispatcher.debug=false") without losing the
// dispatcher's warnings.
Q_LOGGING_CATEGORY(lcDispatcher, "fire.dispatcher")

namespace {
// Delivery order of the class queues before and after the classes that the
// event configuration defines.
const int kLeadingClasses[] = {24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};
const int kTrailingClasses[] = {17, 13, 14, 10};

bool isTrackedClass(int nClass)
{
    return (nClass >= 1 && nClass <= 8) || nClass == 17;
}

bool isListClass(int nClass)
{
    return nClass == 13 || nClass == 14;
}
} // namespace

CEventProcess::CEventProcess(QObject *parent) : QObject(parent)
{
    m_pacingTimer.setInterval(TickIntervalMs);
    connect(&m_pacingTimer, &QTimer::timeout, this, &CEventProcess::tick);
    startPacing();
}

CEventProcess::~CEventProcess() = default;

QList<CEvent> CEventProcess::currentEvents() const
{
    return m_active.events();
}

QString CEventProcess::deviceKey(const CEvent &e)
{
    if (!e.strEndCode.isEmpty() && !e.strEndCode.startsWith(QLatin1String("000000"))
        && e.strEndCode != e.strCode)
        return e.strCode + e.strEndCode;
    return conditionCode(e);
}

bool CEventProcess::isRepeatExempt(int nEventNumber)
{
    // Bit 0 of the mask stands for 7100.
    return nEventNumber >= 7100 && nEventNumber <= 7118
           && ((0x7D803 >> (nEventNumber - 7100)) & 1);
}

bool CEventProcess::isStandingNumber(int nEventNumber)
{
    return nEventNumber == 4000 || nEventNumber == 6000 || nEventNumber == 7000
           || nEventNumber == 6305;
}

void CEventProcess::setTimersEnabled(bool bEnabled)
{
    if (bEnabled == m_bTimersEnabled)
        return;
    m_bTimersEnabled = bEnabled;
    if (!bEnabled) {
        m_pacingTimer.stop();
        return;
    }
    if (m_bPacing) {
        m_pacingTimer.start(TickIntervalMs);
        m_tickClock.start();
    }
    for (int i = 0; i < m_pendingResets.size(); ++i)
        QTimer::singleShot(ResetDelayMs, this, [this] {
            if (m_bTimersEnabled)
                processResetFollowUp();
        });
}

void CEventProcess::startPacing()
{
    m_bPacing = true;
    if (m_bTimersEnabled) {
        m_pacingTimer.start(TickIntervalMs);
        m_tickClock.start();
    }
}

void CEventProcess::wakePacing()
{
    if (!m_bPacing || !m_bTimersEnabled || m_pacingTimer.isActive())
        return;
    const qint64 since = m_tickClock.isValid() ? m_tickClock.elapsed() : 0;
    m_pacingTimer.start(int(TickIntervalMs - since % TickIntervalMs));
}

bool CEventProcess::isActiveKey(quint8 nCom, int nEventNumber, const QString &strKey) const
{
    return m_activeKeys.contains(nCom, nEventNumber, strKey);
}

int CEventProcess::waitingCount() const
{
    return m_nWaiting + m_firstServed.size();
}

int CEventProcess::waitingCount(int nQueueKey) const
{
    auto it = m_queues.find(nQueueKey);
    return it == m_queues.end() ? -1 : it->second.size();
}

QList<int> CEventProcess::queueKeys() const
{
    QList<int> keys;
    for (const auto &q : m_queues)
        keys.append(q.first);
    return keys;
}

void CEventProcess::handleEvent(const CEvent &receiveEvent)
{
    dispatch(receiveEvent);
}

void CEventProcess::deliver(const CEvent &e)
{
    ++m_nDelivered;
    const CEvent *outer = std::exchange(m_pDelivering, &e);
    QByteArray outerBody = std::exchange(m_deliveryBody, QByteArray());
    emit sendEventToClient(1, e, QStringLiteral("ALL"));
    m_pDelivering = outer;
    m_deliveryBody = std::move(outerBody);
}

const QByteArray &CEventProcess::deliveryBody()
{
    if (m_deliveryBody.isEmpty() && m_pDelivering)
        m_deliveryBody = ClientCodec::eventBody(*m_pDelivering);
    return m_deliveryBody;
}

void CEventProcess::announce(const CEvent &e)
{
    emit receiveEvent(e);
}

void CEventProcess::dispatch(CEvent e)
{
    // Checked before the trace line so an absurd text is not copied into
    // the log either.
    if (e.strCode.size() > MaxCodeLength || e.strEndCode.size() > MaxCodeLength) {
        qWarning() << "handleEvent: device code of" << e.strCode.size() << "/" << e.strEndCode.size()
                   << "characters exceeds" << MaxCodeLength << "- event code" << e.nEventCode
                   << "of panel" << e.nPanelID << "dropped";
        return;
    }
    qCDebug(lcDispatcher) << "handleEvent:" << e;

    // Sources that did not complete the record (restore-all copies, a
    // client's own events) are completed here; the rest again, which is one
    // lookup and gives the entry's flags.
    const EventEntry *entry = ConfigTables::instance().complete(e);
    if (!entry) {
        qCDebug(lcDispatcher) << "handleEvent: code" << e.nEventCode << "not in the event table, dropped";
        return;
    }
    if (entry->isRestoreAll) {
        // A restore-all entry must not lead to another one while its copies
        // are dispatched: a table whose 913/915/916 also carried the flag
        // would otherwise recurse without end.
        if (m_nDepth > 0) {
            qWarning() << "handleEvent: restore-all code" << e.nEventCode
                       << "reached while expanding a restore-all event, dropped";
            return;
        }
        const QString key = deviceKey(e);
        static const int kNumbers[] = {7, 5, 6};
        static const int kCodes[] = {913, 915, 916};
        ++m_nDepth;
        for (int i = 0; i < 3; ++i) {
            if (!isActiveKey(e.nCom, kNumbers[i], key))
                continue;
            CEvent copy = e;
            copy.nEventCode = kCodes[i];
            dispatch(copy);
        }
        --m_nDepth;
        return;
    }

    e.nEventType = entry->eventClass;
    const int nNumber = e.nEventNo;
    if (nNumber <= 0) {
        qCDebug(lcDispatcher) << "handleEvent: code" << e.nEventCode << "has event number"
                              << entry->number << "which is not positive, dropped";
        return;
    }

    if (isStandingNumber(nNumber)) {
        enqueue(nNumber, e);
        return;
    }

    switch (e.nEventType) {
    case 15: {
        // Only the first class-15 event of a run can go out; a later one
        // cancels a first one still waiting and is dropped itself.
        auto q = m_queues.find(15);
        if (q != m_queues.end()) {
            m_nWaiting -= q->second.size();
            q->second.clear();
            return;
        }
        enqueue(15, e);
        return;
    }
    case 16:
        announce(e);
        deliver(e);
        return;
    case 11:
        m_bPacing = false;
        m_pacingTimer.stop();
        announce(e);
        deliver(e);
        m_pendingResets.append(e.nCom);
        if (m_bTimersEnabled)
            QTimer::singleShot(ResetDelayMs, this, [this] {
                if (m_bTimersEnabled)
                    processResetFollowUp();
            });
        return;
    default:
        break;
    }

    const int nProperty = e.nEventProperty;
    bool bRepeat = false;
    m_nAppended = EventQueue::NoTag;
    const QString key = deviceKey(e);
    if (nProperty % 2 == 0)
        bRepeat = recordRestore(e, key);
    else if (nProperty > 0)
        bRepeat = recordPresence(e, key);
    else
        return; // negative odd: no meaning, dropped
    if (bRepeat && !isRepeatExempt(e.nEventNo))
        return;
    // The active entry counts as delivered (and goes into a login backlog)
    // only once the pacing has sent it.
    enqueue(e.nEventType, e, m_nAppended);
}

void CEventProcess::enqueue(int nQueueKey, const CEvent &e, quint64 nTag)
{
    EventQueue &q = m_queues[nQueueKey];
    q.append(e, nTag);
    ++m_nWaiting;
    wakePacing();
    if (!q.bWarned && q.size() > QueueWarnThreshold) {
        q.bWarned = true;
        qWarning() << "CEventProcess: queue" << nQueueKey << "holds more than" << QueueWarnThreshold
                   << "waiting events";
    }
    announce(e);
}

void CEventProcess::appendActive(const CEvent &e)
{
    // Capped on the way in as well as at delivery: between two ticks a
    // burst could otherwise grow the backlog far past its bound.
    m_nAppended = m_active.append(e, false);
    while (m_active.size() > MaxActiveEvents)
        m_active.removeOldest();
}

bool CEventProcess::recordPresence(const CEvent &e, const QString &key)
{
    const int nClass = e.nEventType;
    if (isTrackedClass(nClass)) {
        if (m_activeKeys.contains(e.nCom, e.nEventNo, key))
            return true;
        if (m_activeKeys.size() >= MaxTrackedKeys) {
            if (!m_bKeyCapWarned) {
                m_bKeyCapWarned = true;
                qWarning() << "CEventProcess: more than" << MaxTrackedKeys
                           << "active conditions; new ones are delivered but not tracked, first"
                           << key << "number" << e.nEventNo;
            }
            return false;
        }
        m_activeKeys.insert(e.nCom, e.nEventNo, key, conditionCode(e));
        appendActive(e);
        if (e.nEventNo == 8 && m_code8.size() < size_t(MaxTrackedKeys))
            m_code8.emplace(key, e); // keeps an entry already there
        return false;
    }
    if (isListClass(nClass))
        appendActive(e);
    return false;
}

bool CEventProcess::recordRestore(const CEvent &e, const QString &key)
{
    const int nClass = e.nEventType;
    if (isListClass(nClass)) {
        // Removing first keeps the cap from pushing out an unrelated entry.
        m_active.removeOldestOpen(nClass, e.nPanelID);
        appendActive(e);
    } else if (isTrackedClass(nClass)) {
        if (key.contains(QLatin1Char('*'))) {
            if (nClass == 4 || nClass == 8)
                restorePattern(e, key);
            return false;
        }
        restoreKey(e, key, conditionCode(e));
    }
    if (e.nEventNo == 7101)
        restoreEverywhere(e, key);

    // A presence that has not gone out yet and its restore cancel each other.
    auto q = m_queues.find(e.nEventNo);
    if (q != m_queues.end() && q->second.removeFirstPresent(conditionCode(e))) {
        --m_nWaiting;
        if (q->second.isEmpty())
            q->second.bWarned = false;
        return true;
    }
    return false;
}

void CEventProcess::restoreKey(const CEvent &restore, const QString &key, const QString &strCode)
{
    if (!m_activeKeys.remove(restore.nCom, restore.nEventNo, key))
        return;
    m_active.removeByCode(strCode);
    if (restore.nEventType == 8)
        m_code8.erase(key);
}

void CEventProcess::restorePattern(const CEvent &restore, const QString &pattern)
{
    // Each matched key is restored as an exact restore of it would be.
    const QList<QPair<QString, QString>> matched = m_activeKeys.match(restore.nCom, restore.nEventNo, pattern);
    for (const auto &m : matched)
        restoreKey(restore, m.first, m.second);
}

void CEventProcess::restoreEverywhere(const CEvent &restore, const QString &key)
{
    m_activeKeys.removeEverywhere(restore.nCom, key);
    m_active.removeByCode(conditionCode(restore));
}

void CEventProcess::tick()
{
    if (m_pacingTimer.isActive()) {
        m_tickClock.start();
        // The first tick after a wake-up came off the grid's remainder.
        if (m_pacingTimer.interval() != TickIntervalMs)
            m_pacingTimer.start(TickIntervalMs);
    }
    if (!m_firstServed.isEmpty()) {
        const Condition first = m_firstServed.takeFirst();
        m_active.markDelivered(first.first);
        deliver(first.second);
        return;
    }
    if (m_nWaiting == 0) {
        m_pacingTimer.stop(); // wakePacing() starts it with the next event
        return;
    }

    auto tryClass = [this](int nClass) {
        auto it = m_queues.find(nClass);
        if (it == m_queues.end() || it->second.isEmpty())
            return false;
        quint64 nTag = EventQueue::NoTag;
        const CEvent e = it->second.takeFirst(&nTag);
        if (nTag != EventQueue::NoTag)
            m_active.markDelivered(nTag);
        --m_nWaiting;
        if (it->second.isEmpty())
            it->second.bWarned = false;
        if (m_active.size() > MaxActiveEvents)
            m_active.removeOldest();
        deliver(e);
        return true;
    };
    for (int nClass : kLeadingClasses) {
        if (tryClass(nClass))
            return;
    }
    for (int nClass : configuredClasses()) {
        if (tryClass(nClass))
            return;
    }
    for (int nClass : kTrailingClasses) {
        if (tryClass(nClass))
            return;
    }
}

const QVector<int> &CEventProcess::configuredClasses()
{
    const QSet<int> &classes = ConfigTables::instance().eventClasses();
    if (m_classSet != classes) {
        m_classSet = classes;
        m_sortedClasses = QVector<int>(classes.cbegin(), classes.cend());
        std::sort(m_sortedClasses.begin(), m_sortedClasses.end());
    }
    return m_sortedClasses;
}

bool CEventProcess::processResetFollowUp()
{
    if (m_pendingResets.isEmpty())
        return false;
    runReset(m_pendingResets.takeFirst());
    startPacing();
    return true;
}

void CEventProcess::runReset(quint8 nCom)
{
    if (nCom == 0)
        globalReset();
    else
        portReset(nCom);
}

void CEventProcess::globalReset()
{
    auto q17 = m_queues.find(17);
    if (q17 != m_queues.end()) {
        const QList<CEvent> waiting = q17->second.events();
        for (const CEvent &e : waiting)
            deliver(e);
    }
    // Number 8 survives resets: those conditions are delivered again below.
    m_activeKeys.removeAllExcept(8);
    m_queues.clear();
    m_nWaiting = 0;
    m_active.clear();
    m_firstServed.clear();
    for (const auto &item : m_code8) {
        appendActive(item.second);
        m_firstServed.append({m_nAppended, item.second});
    }
}

void CEventProcess::portReset(quint8 nCom)
{
    m_activeKeys.removePortExcept(nCom, 8);

    QList<CEvent> restoresNow;
    for (auto &q : m_queues) {
        const QList<CEvent> taken = q.second.takeIf([nCom](const CEvent &e) { return e.nCom == nCom; });
        m_nWaiting -= taken.size();
        for (const CEvent &e : taken) {
            if (e.nEventType == 17 && e.nEventProperty % 2 == 0)
                restoresNow.append(e);
        }
    }
    for (const CEvent &e : qAsConst(restoresNow))
        deliver(e);

    const bool bKeepCode8 = !ServerContext::instance().isControl;
    m_active.removeIf([nCom, bKeepCode8](const CEvent &e) {
        return e.nCom == nCom && !(bKeepCode8 && e.nEventNo == 8);
    });
    for (int i = m_firstServed.size() - 1; i >= 0; --i) {
        if (m_firstServed.at(i).second.nCom == nCom)
            m_firstServed.removeAt(i);
    }
}
