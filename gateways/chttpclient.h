#pragma once
// Cloud upload: the events the dispatcher sends to all clients, filtered by
// event number, become small JSON records that go to the platform as one
// array a second; a quiet link carries a heartbeat every eleven seconds.
//
// The waiting records live in a store-and-forward journal, not in memory:
// each is written before any send is tried and removed only when the batch
// that carried it was accepted, so a restart (clean or killed) sends what
// was waiting, byte for byte and first. Everything runs in the main thread.

#include "core/cevent.h"
#include "gateways/cloudposter.h"
#include "gateways/journal.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

class CHttpClient : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int tickMs = 1000;      // 0: no timer, the owner calls tick() (tests)
        int answerLimitMs = CloudPoster::DefaultAnswerLimitMs;
        QString journalPath;    // empty: "CloudJournal.db" in the application directory
        QString projectFile;    // empty: "Project/Server/config.xml" in the application directory
        Journal::Caps journalCaps;
        // One batch carries at most this many records; after an accepted
        // full batch the next goes at once, so a backlog drains without a
        // single post of the whole journal.
        int maxBatchEvents = 1000;
    };

    // Idle ticks counted down before a heartbeat; it goes on the tick after
    // the count reached 0, eleven ticks after the last batch or heartbeat.
    static constexpr quint8 BeatTicks = 10;

    explicit CHttpClient(const QString &strAddress, QObject *parent = nullptr);
    CHttpClient(const QString &strAddress, const Options &options, QObject *parent = nullptr);

    // Posting credentials (Server/HttpSubname and the three keys after it).
    void setPostInfo(const QString &strSubName, const QString &strUserName, const QString &strPassword,
                     const QString &strSign);

    // Codes that are uploaded at all.
    static bool isUploadable(int nEventNo);
    // "fault", "fault_restore", ...; empty for codes without a word.
    static QString eventTypeWord(int nEventNo, int nEventProperty);
    static QJsonObject uploadRecord(const CEvent &event, const QHash<QString, QString> &marks);
    static QJsonObject heartbeatRecord(qint64 nowMs);
    // "%02d" of deviceTypeid followed by devicenumber -> mark; empty when the
    // file is missing or does not parse (logged).
    static QHash<QString, QString> loadDeviceMarks(const QString &path);

    int pendingCount() const { return m_journal.count(); }
    bool isSending() const { return !sendEnabled; }
    const Journal &journal() const { return m_journal; }
    CloudPoster *poster() const { return m_poster; }
    // When the platform last accepted a post (ms since the epoch; 0: never).
    qint64 lastAcceptedMsecs() const { return m_lastAcceptedMs; }
    // Batches refused or unanswered since the last accepted one.
    int refusedInRow() const { return m_refusedInRow; }

public slots:
    // One event the dispatcher delivered: into the journal if it is uploaded.
    void addEvent(const CEvent &event);
    void tick();

signals:
    // After each batch: how many records it carried and whether they were accepted.
    void batchFinished(int count, bool accepted);

private:
    void sendBatch();
    void sendHeartbeatRecord();
    void onPostFinished(quint64 request, bool accepted, const QString &reason);

    Options m_options;
    bool sendEnabled = true;        // false while a batch is on its way
    QList<qint64> inFlightEvents;   // journal ids of that batch, oldest first
    quint64 m_batchRequest = 0;     // the poster's number of that batch
    QTimer m_tick;
    QHash<QString, QString> deviceMarks;
    CloudPoster *m_poster;
    quint8 beatCountdown = BeatTicks;
    Journal m_journal;              // the pending events, oldest first
    int m_refusedInRow = 0;         // refusals are logged once per outage
    qint64 m_lastAcceptedMs = 0;
};
