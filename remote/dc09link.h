#pragma once
// The supervised DC-09 transmission path to an alarm receiving centre: one
// message in flight at a time, retried on the same path when its answer is
// late, then on the backup path, and back on the primary once that answers
// a probe again. A NAK (the centre's clock disagrees) sets the path's time
// offset and the message goes again with the same number; a DUH is given
// back as refused. When idle, NULL messages supervise the path. Whoever
// feeds the link keeps the messages until they are delivered or refused.
// Main thread; sockets are asynchronous, every wait is a timer.

#include "remote/dc09codec.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>

class Dc09Path;

struct Dc09LinkOptions
{
    QByteArray account = "0";
    QByteArray receiver;            // empty: no R field
    QByteArray line = "0";
    Dc09::Key key;                  // unset: plain
    QString primaryHost;
    quint16 primaryPort = 0;
    QString backupHost;             // empty: no backup path
    quint16 backupPort = 0;
    bool udp = false;
    int ackTimeoutMs = 10000;
    int retries = 2;                // further tries on the same path after the first
    int supervisionMs = 0;          // NULL after this long idle; 0: none
    int retryIntervalMs = 10000;    // between rounds when no path answers, and probes of a lost primary
    // Time of day as the link stamps messages (UTC); tests move it.
    std::function<QDateTime()> clock;
};

class Dc09Link : public QObject
{
    Q_OBJECT
public:
    using Options = Dc09LinkOptions;
    enum PathIndex { Primary = 0, Backup = 1 };

    explicit Dc09Link(const Options &options, QObject *parent = nullptr);
    ~Dc09Link() override;

    // Starts supervising (and probing, once a path is lost).
    void start();
    // Drops what is in flight (the feeder still holds it) and closes the paths.
    void stop();

    bool isIdle() const { return !m_busy; }
    // Sends one message: id "SIA-DCS" or "ADM-CID", data such as
    // "#1234|Nri1/FA015". Only while idle; ticket is given back with the outcome.
    void send(qint64 ticket, const QByteArray &id, const QByteArray &data);

    bool hasBackup() const { return !m_options.backupHost.isEmpty(); }
    // -1 unknown (never tried), 0 lost, 1 answering.
    int pathState(int path) const { return m_state[path]; }
    QString pathText(int path) const;
    qint64 offsetMs(int path) const { return m_offsetMs[path]; }

    // Counters for the metrics.
    qint64 acked = 0;
    qint64 naks = 0;
    qint64 duhs = 0;
    qint64 nulls = 0;
    qint64 timeouts = 0;
    std::array<qint64, 2> lost{{0, 0}};

signals:
    void delivered(qint64 ticket);
    // DUH: the centre cannot process it; it is not sent again.
    void refused(qint64 ticket);
    // A path was lost (after its retries) or answers again.
    void pathChanged(int path, bool up);
    // Idle again: the feeder may send the next message.
    void ready();

private:
    struct Flight
    {
        qint64 ticket = 0;        // 0: a supervision NULL
        QByteArray id;
        QByteArray data;
        int seq = 0;
        int tries = 0;            // on the current path
        int naks = 0;             // in a row
        int path = Primary;
    };

    int nextSeq();
    QByteArray frameFor(const Flight &f);
    void transmit(Flight &f);
    void onAnswer(int path, const Dc09::Message &m);
    void onFailure(int path, const QString &why);
    void finish();
    void setState(int path, bool up);
    void onSupervision();
    void onRetryTimer();
    void probePrimary();
    void restartSupervision();

    Options m_options;
    std::array<Dc09Path *, 2> m_paths{{nullptr, nullptr}};
    std::array<int, 2> m_state{{-1, -1}};
    std::array<qint64, 2> m_offsetMs{{0, 0}};
    int m_current = Primary;      // where new messages go
    bool m_busy = false;
    Flight m_flight;              // valid while m_busy
    bool m_probing = false;       // a NULL is out to the lost primary
    Flight m_probe;
    int m_seq = 0;
    bool m_running = false;
    QTimer m_supervision;
    QTimer m_retry;               // the pause between rounds when no path answers
    QTimer m_probeTimer;          // probes of a lost primary while the backup carries
};
