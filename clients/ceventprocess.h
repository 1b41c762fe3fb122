#pragma once
// The event dispatcher: filters every event against the event table, drops
// repeats of conditions that are already active, keeps the active conditions
// for the client backlog and hands events to all clients, paced one per 40 ms
// in a fixed class priority (resets and class 16 go out at once).
//
// Everything runs in the main thread; no locks.

#include "clients/activekeys.h"
#include "clients/activelist.h"
#include "clients/eventqueue.h"
#include "core/cevent.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>
#include <QVariant>
#include <QVector>

#include <map>

class CEventProcess : public QObject
{
    Q_OBJECT
public:
    static constexpr int TickIntervalMs = 40;     // one paced event per tick
    static constexpr int ResetDelayMs = 10;       // reset follow-up after a class-11 event
    static constexpr int MaxActiveEvents = 2000;  // cap of the active list (client backlog)
    static constexpr int QueueWarnThreshold = 10000; // one warning when a queue passes this
    // Input guards: a device code longer than this cannot be a real device
    // and is dropped; the condition bookkeeping stops tracking new keys past
    // MaxTrackedKeys so a flood of invented codes cannot grow it without end.
    static constexpr int MaxCodeLength = 256;
    static constexpr int MaxTrackedKeys = 200000;

    // Starts the 40 ms pacing timer.
    explicit CEventProcess(QObject *parent = nullptr);
    ~CEventProcess() override;

    // The client backlog: copies of the active list in arrival order, at
    // most MaxActiveEvents. A plain QList<CEvent> so a client can keep it as
    // its own backlog and send it one event at a time.
    QList<CEvent> currentEvents() const;
    // The login backlog: the active conditions already delivered to all,
    // each with the number that isStanding() knows it by. Conditions still
    // waiting in a queue are left out: the pacing brings them once.
    using Condition = QPair<quint64, CEvent>;
    QList<Condition> deliveredConditions() const { return m_active.delivered(); }
    // Whether the condition of that number is still active (a restore, a
    // reset or the list's bound has not removed it since).
    bool isStanding(quint64 nCondition) const { return m_active.contains(nCondition); }

    // Device key used for all condition bookkeeping: strCode, or strCode
    // followed by strEndCode when that is non-empty, does not begin with
    // "000000" and differs from strCode.
    static QString deviceKey(const CEvent &e);
    // 7100, 7101, 7111, 7112, 7114..7118: delivered even when repeated.
    static bool isRepeatExempt(int nEventNumber);
    static bool isStandingNumber(int nEventNumber);

    // Test and benchmark control. With timers disabled the pacing timer is
    // stopped and a reset's follow-up waits until processResetFollowUp() is
    // called; tick() and processResetFollowUp() are what the timers call.
    void setTimersEnabled(bool bEnabled);
    bool timersEnabled() const { return m_bTimersEnabled; }
    // False between a reset event and its follow-up.
    bool isPacingActive() const { return m_bPacing; }
    int pendingResets() const { return m_pendingResets.size(); }

    // While one event is handed to the clients: whether e is it, and its
    // client encoding, made at most once for all of them.
    bool isDelivering(const CEvent &e) const { return m_pDelivering == &e; }
    const QByteArray &deliveryBody();

    // Introspection (tests, benchmark, console).
    int activeCount() const { return m_active.size(); }
    // Events delivered to the clients since the start.
    quint64 deliveredCount() const { return m_nDelivered; }
    int activeKeyCount() const { return m_activeKeys.size(); }
    bool isActiveKey(quint8 nCom, int nEventNumber, const QString &strKey) const;
    int code8Count() const { return int(m_code8.size()); }
    int firstServedCount() const { return m_firstServed.size(); }
    // Events waiting in every class queue and the first-served queue.
    int waitingCount() const;
    // Events waiting in the queue with this key (class or standing number);
    // -1 when that queue does not exist.
    int waitingCount(int nQueueKey) const;
    // Keys of the class queues that exist, ascending.
    QList<int> queueKeys() const;

public slots:
    void handleEvent(const CEvent &receiveEvent);
    // One delivery step (the pacing timer's timeout).
    void tick();
    // Runs the oldest pending reset's processing and restarts pacing;
    // false when no reset is pending.
    bool processResetFollowUp();

signals:
    // Always EventType 1 and "ALL" from this class.
    void sendEventToClient(int EventType, const CEvent &sendEvent, const QString &strUserName = QStringLiteral("ALL"));
    // Every event the dispatcher accepts (numbered and named, class set), as it is
    // queued or sent at once; dropped events and repeats are not reported.
    void receiveEvent(const CEvent &receiveEvent);

private:
    void dispatch(CEvent e);
    void deliver(const CEvent &e);
    void announce(const CEvent &e);
    void startPacing();

    // Condition bookkeeping; both return true when the event counts as a repeat.
    bool recordPresence(const CEvent &e, const QString &key);
    bool recordRestore(const CEvent &e, const QString &key);
    void restoreKey(const CEvent &restore, const QString &key, const QString &strCode);
    void restorePattern(const CEvent &restore, const QString &pattern);
    void restoreEverywhere(const CEvent &restore, const QString &key);

    void enqueue(int nQueueKey, const CEvent &e, quint64 nTag = EventQueue::NoTag);
    void appendActive(const CEvent &e);
    void runReset(quint8 nCom);
    void globalReset();
    void portReset(quint8 nCom);

    // Present conditions per port and event number (the table's number).
    ActiveKeys m_activeKeys;
    bool m_bKeyCapWarned = false;

    // Class queues by class or standing number; never removed once created
    // except by a global reset (the class-15 rule depends on that).
    std::map<int, EventQueue> m_queues;
    int m_nWaiting = 0; // events in m_queues
    quint64 m_nDelivered = 0;
    const CEvent *m_pDelivering = nullptr; // during deliver() only
    QByteArray m_deliveryBody;             // its encoding, once asked for
    // Per device key, the first present code-8 event since its last restore.
    // Ordered by key so the re-delivery after a global reset is deterministic.
    std::map<QString, CEvent> m_code8;
    ActiveList m_active;
    quint64 m_nAppended = EventQueue::NoTag; // active entry of the event being dispatched
    // Delivered before every queue, each with its active entry.
    QList<Condition> m_firstServed;

    // The configured classes in ascending order. The table keeps them in a
    // hashed set whose order is seeded anew at every start, which would make
    // the priority between, say, fire and fault differ from run to run.
    // Rebuilt when the table's set changes (a shared copy compares in O(1)).
    const QVector<int> &configuredClasses();
    QSet<int> m_classSet;
    QVector<int> m_sortedClasses;

    // Runs only while something waits: an idle server should not wake 25
    // times a second for nothing. It starts again on the grid of the ticks
    // before (m_tickClock: since the last tick), so an event waits for the
    // next tick as it would have with a timer that never stopped.
    void wakePacing();
    QTimer m_pacingTimer;
    QElapsedTimer m_tickClock;
    bool m_bTimersEnabled = true;
    bool m_bPacing = false;
    QList<quint8> m_pendingResets; // nCom of each reset awaiting its follow-up
    int m_nDepth = 0;              // restore-all re-dispatch depth
};
