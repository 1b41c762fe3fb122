#pragma once
// A plain MQTT client for tests and benchmarks: it subscribes, records every
// message with the moment it arrived (taken in its network thread, before
// anything else sees it) and publishes what it is given. It re-subscribes
// after each reconnection, so it follows a broker that is restarted.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>

struct mosquitto;
struct mosquitto_message;

class MqttProbe
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
        bool retained = false;
        qint64 arrivalNs = 0; // CLOCK_MONOTONIC
    };

    // cleanSession false: the broker keeps the subscriptions and queues
    // QoS 1 messages while the probe is away.
    explicit MqttProbe(const QString &clientId, bool cleanSession = true);
    ~MqttProbe();
    MqttProbe(const MqttProbe &) = delete;
    MqttProbe &operator=(const MqttProbe &) = delete;

    void setTls(const QString &caFile, const QString &certFile, const QString &keyFile);
    // Connects in the background and keeps reconnecting every second.
    bool connectTo(quint16 port);
    bool isConnected() const { return m_connected.load(); }
    void subscribe(const QString &topic, int qos = 1);
    bool publish(const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false);

    // The messages so far, of one topic or of all (empty topic).
    QList<Message> messages(const QString &topic = QString()) const;
    int count(const QString &topic = QString()) const;
    void clear();
    // CPU time its network thread has used up to its latest message.
    qint64 threadCpuNs() const { return m_threadCpuNs.load(); }

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *msg);

    mosquitto *m_mosq = nullptr;
    std::atomic<bool> m_connected{false};
    std::atomic<qint64> m_threadCpuNs{0};
    // m_lock guards m_messages and m_topics: the network thread records and
    // subscribes, the owner reads and adds.
    mutable std::mutex m_lock;
    QList<Message> m_messages;
    QHash<QString, int> m_counts; // per topic, so counting copies nothing
    QList<QPair<QString, int>> m_topics;
};
