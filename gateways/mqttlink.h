#pragma once
// The connection to an MQTT broker: one libmosquitto client driven by a
// network thread of its own. The thread connects, keeps the session alive
// and, whenever the broker cannot be reached or drops the session, tries
// again after a back-off that doubles from reconnectMinMs to reconnectMaxMs
// (reset once a session was accepted). libmosquitto's own reconnecting loop
// is not used: its delays grow as squares (1, 4, 9, 16 s), count in whole
// seconds, and a first attempt refused before the loop started is never
// tried again.
//
// What the thread learns reaches the owner's thread only through queued
// signals. publish() and subscribe() may be called from the owner's thread
// at any time: libmosquitto queues the packet under its own lock and wakes
// the network thread, which writes it. Outgoing QoS 1 and 2 messages that
// are not yet acknowledged when a session drops stay queued inside
// libmosquitto and are sent again, in order, when the next one starts.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;

class MqttLink : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QString host = QStringLiteral("localhost");
        int port = 1883;
        QString clientId;           // required: the session outlives a connection
        QString username;           // empty: no credentials
        QString password;
        QString caFile;             // set: TLS, the broker verified against it
        QString certFile;           // with keyFile: our own certificate
        QString keyFile;
        int keepAlive = 30;         // seconds
        bool cleanSession = false;  // false: the broker keeps our session between connections
        QString willTopic;          // empty: no will
        QByteArray willPayload;
        int willQos = 1;
        bool willRetain = true;
        int reconnectMinMs = 1000;
        int reconnectMaxMs = 30000;
        int sendMaximum = 100;      // QoS 1/2 messages on the wire before libmosquitto queues
    };

    explicit MqttLink(const Settings &settings, QObject *parent = nullptr);
    // Without stop() first the session is not closed: the broker sends our
    // will, as for a crash.
    ~MqttLink() override;

    // Sets the client up and starts the network thread. False (logged) when
    // the settings are refused, e.g. an unreadable certificate file: then
    // nothing connects, rather than connecting without the TLS asked for.
    bool start();
    // Ends the session cleanly (the broker discards the will), then the thread.
    void stop();
    bool isUp() const { return m_up.load(); }
    QString brokerText() const;

    // The message id, or 0 when libmosquitto refused the message (logged).
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    // The same with the topic already in UTF-8 (the events topic, encoded once).
    int publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain);
    bool subscribe(const QString &topic, int qos);
    void unsubscribe(const QString &topic);

    // Ids of the messages acknowledged since the last call (QoS 0: written).
    QVector<int> takeAcks();
    // Sleeps until an acknowledgement is waiting or the deadline passes;
    // true when one is waiting. For a caller that cannot return to its
    // event loop (a clean stop).
    bool waitForAcks(QDeadlineTimer deadline);

signals:
    // The broker accepted a session.
    void connected();
    // A session ended, or an attempt failed; reason names why.
    void disconnected(const QString &reason);
    // takeAcks() has ids: emitted once until they are taken.
    void acknowledged();
    void messageReceived(const QString &topic, const QByteArray &payload);

private:
    void run();
    bool stopRequested();
    // Sleeps ms milliseconds, or less when a stop is requested.
    void pause(int ms);
    void reportDown(const QString &reason);

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *msg);

    const Settings m_settings;
    mosquitto *m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_up{false};
    std::atomic<bool> m_closing{false}; // stop() asked for a DISCONNECT
    bool m_downReported = false;    // network thread only: the failure of an outage is told once

    // m_stateLock guards m_stop; the owner sets it, the network thread
    // sleeps on m_wake between attempts.
    std::mutex m_stateLock;
    std::condition_variable m_wake;
    bool m_stop = false;

    // m_ackLock guards m_acks and m_ackSignalled; the network thread adds,
    // the owner takes.
    std::mutex m_ackLock;
    std::condition_variable m_ackArrived;
    QVector<int> m_acks;
    bool m_ackSignalled = false;
};
