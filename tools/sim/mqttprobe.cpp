#include "tools/sim/mqttprobe.h"

#include <mosquitto.h>

#include <ctime>
#include <mutex>

namespace {
qint64 clockNs(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

MqttProbe::MqttProbe(const QString &clientId, bool cleanSession)
{
    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    m_mosq = mosquitto_new(clientId.toUtf8().constData(), cleanSession, this);
    mosquitto_connect_callback_set(m_mosq, &MqttProbe::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttProbe::onDisconnect);
    mosquitto_message_callback_set(m_mosq, &MqttProbe::onMessage);
    mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
}

MqttProbe::~MqttProbe()
{
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    mosquitto_destroy(m_mosq);
}

void MqttProbe::setTls(const QString &caFile, const QString &certFile, const QString &keyFile)
{
    mosquitto_tls_set(m_mosq, caFile.toUtf8().constData(), nullptr,
                      certFile.isEmpty() ? nullptr : certFile.toUtf8().constData(),
                      keyFile.isEmpty() ? nullptr : keyFile.toUtf8().constData(), nullptr);
}

bool MqttProbe::connectTo(quint16 port)
{
    // The loop first: it then retries a first attempt that fails.
    return mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS
        && mosquitto_connect_async(m_mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
}

void MqttProbe::subscribe(const QString &topic, int qos)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_topics.append({topic, qos});
    }
    if (m_connected.load())
        mosquitto_subscribe(m_mosq, nullptr, topic.toUtf8().constData(), qos);
}

bool MqttProbe::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    return mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), payload.size(), payload.constData(), qos,
                             retain)
        == MOSQ_ERR_SUCCESS;
}

QList<MqttProbe::Message> MqttProbe::messages(const QString &topic) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (topic.isEmpty())
        return m_messages;
    QList<Message> out;
    for (const Message &m : m_messages) {
        if (m.topic == topic)
            out.append(m);
    }
    return out;
}

int MqttProbe::count(const QString &topic) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return topic.isEmpty() ? m_messages.size() : m_counts.value(topic);
}

void MqttProbe::clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_messages.clear();
    m_counts.clear();
}

void MqttProbe::onConnect(mosquitto *mosq, void *self, int rc)
{
    auto *probe = static_cast<MqttProbe *>(self);
    if (rc != 0)
        return;
    probe->m_connected.store(true);
    std::lock_guard<std::mutex> lock(probe->m_lock);
    for (const auto &t : qAsConst(probe->m_topics))
        mosquitto_subscribe(mosq, nullptr, t.first.toUtf8().constData(), t.second);
}

void MqttProbe::onDisconnect(mosquitto *, void *self, int)
{
    static_cast<MqttProbe *>(self)->m_connected.store(false);
}

void MqttProbe::onMessage(mosquitto *, void *self, const mosquitto_message *msg)
{
    auto *probe = static_cast<MqttProbe *>(self);
    Message m;
    m.arrivalNs = clockNs(CLOCK_MONOTONIC);
    m.topic = QString::fromUtf8(msg->topic);
    m.payload = QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen);
    m.retained = msg->retain;
    {
        std::lock_guard<std::mutex> lock(probe->m_lock);
        probe->m_messages.append(m);
        ++probe->m_counts[m.topic];
    }
    probe->m_threadCpuNs.store(clockNs(CLOCK_THREAD_CPUTIME_ID));
}
