#include "gateways/mqttlink.h"

#include <QDebug>
#include <QFileInfo>

#include <mosquitto.h>

#include <cerrno>

namespace {
// Longest sleep of the network thread within a session (it wakes at once
// for anything queued): bounds how long a stop waits for it.
constexpr int kLoopTimeoutMs = 1000;
// How long a clean stop lets the DISCONNECT take to go out.
constexpr int kDisconnectWaitMs = 2000;

QString errorText(int rc)
{
    // errno belongs to the thread that saw the failure: read it right here.
    return rc == MOSQ_ERR_ERRNO ? qt_error_string(errno) : QString::fromUtf8(mosquitto_strerror(rc));
}
} // namespace

MqttLink::MqttLink(const Settings &settings, QObject *parent) : QObject(parent), m_settings(settings)
{
}

MqttLink::~MqttLink()
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

QString MqttLink::brokerText() const
{
    return QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
}

bool MqttLink::start()
{
    if (m_mosq)
        return true;
    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });

    const Settings &s = m_settings;
    for (const QString &file : {s.caFile, s.certFile, s.keyFile}) {
        if (!file.isEmpty() && !QFileInfo(file).isReadable()) {
            qCritical().noquote() << QStringLiteral("MQTT: TLS file %1 cannot be read; not connecting to %2")
                                         .arg(file, brokerText());
            return false;
        }
    }
    m_mosq = mosquitto_new(s.clientId.toUtf8().constData(), s.cleanSession, this);
    if (!m_mosq) {
        qCritical().noquote() << QStringLiteral("MQTT: client \"%1\" cannot be created").arg(s.clientId);
        return false;
    }
    // Our own thread drives the client: packets queued by other threads
    // wake it rather than being written by them.
    mosquitto_threaded_set(m_mosq, true);
    mosquitto_int_option(m_mosq, MOSQ_OPT_SEND_MAXIMUM, s.sendMaximum);
    mosquitto_connect_callback_set(m_mosq, &MqttLink::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttLink::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttLink::onPublish);
    mosquitto_message_callback_set(m_mosq, &MqttLink::onMessage);

    const char *step = "";
    int rc = MOSQ_ERR_SUCCESS;
    if (!s.username.isEmpty()) {
        step = "user name";
        rc = mosquitto_username_pw_set(m_mosq, s.username.toUtf8().constData(),
                                       s.password.isEmpty() ? nullptr : s.password.toUtf8().constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && !s.willTopic.isEmpty()) {
        step = "will";
        rc = mosquitto_will_set(m_mosq, s.willTopic.toUtf8().constData(), s.willPayload.size(),
                                s.willPayload.constData(), s.willQos, s.willRetain);
    }
    if (rc == MOSQ_ERR_SUCCESS && !s.caFile.isEmpty()) {
        step = "TLS files";
        const QByteArray ca = s.caFile.toUtf8();
        const QByteArray cert = s.certFile.toUtf8();
        const QByteArray key = s.keyFile.toUtf8();
        rc = mosquitto_tls_set(m_mosq, ca.constData(), nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        qCritical().noquote() << QStringLiteral("MQTT: %1 refused (%2); not connecting to %3")
                                     .arg(QLatin1String(step), errorText(rc), brokerText());
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
        return false;
    }
    m_thread = std::thread(&MqttLink::run, this);
    return true;
}

void MqttLink::stop()
{
    if (!m_mosq)
        return;
    m_closing.store(m_up.load() && mosquitto_disconnect(m_mosq) == MOSQ_ERR_SUCCESS);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool MqttLink::stopRequested()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_stop;
}

void MqttLink::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_stateLock);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
}

void MqttLink::reportDown(const QString &reason)
{
    if (m_downReported)
        return;
    m_downReported = true;
    qWarning().noquote() << QStringLiteral("MQTT: broker %1 not reachable: %2; trying again after %3 ms, "
                                           "doubling up to %4 ms")
                                .arg(brokerText(), reason)
                                .arg(m_settings.reconnectMinMs)
                                .arg(m_settings.reconnectMaxMs);
}

void MqttLink::run()
{
    const QByteArray host = m_settings.host.toUtf8();
    int delayMs = m_settings.reconnectMinMs;
    bool first = true;
    while (!stopRequested()) {
        // After the first call libmosquitto knows the broker: later
        // attempts only reconnect, keeping the messages it holds.
        int rc = first ? mosquitto_connect_async(m_mosq, host.constData(), m_settings.port, m_settings.keepAlive)
                       : mosquitto_reconnect_async(m_mosq);
        first = false;
        bool sessionWasUp = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            QDeadlineTimer disconnectDeadline(QDeadlineTimer::Forever);
            for (;;) {
                rc = mosquitto_loop(m_mosq, kLoopTimeoutMs, 1);
                sessionWasUp = sessionWasUp || m_up.load();
                if (rc != MOSQ_ERR_SUCCESS)
                    break;
                if (stopRequested()) {
                    // A session being closed gets a moment for its DISCONNECT.
                    if (!m_up.load() || !m_closing.load())
                        break;
                    if (disconnectDeadline.isForever())
                        disconnectDeadline.setRemainingTime(kDisconnectWaitMs);
                    else if (disconnectDeadline.hasExpired())
                        break;
                }
            }
        }
        if (stopRequested())
            break;
        if (sessionWasUp)
            delayMs = m_settings.reconnectMinMs;
        else
            reportDown(errorText(rc));
        pause(delayMs);
        delayMs = qMin(delayMs * 2, m_settings.reconnectMaxMs);
    }
    m_up.store(false);
}

void MqttLink::onConnect(mosquitto *, void *self, int rc)
{
    auto *link = static_cast<MqttLink *>(self);
    if (rc != 0) {
        // The broker closes the connection after this; the loop tries again.
        link->reportDown(QStringLiteral("session refused: %1").arg(QString::fromUtf8(mosquitto_connack_string(rc))));
        return;
    }
    link->m_downReported = false;
    link->m_up.store(true);
    emit link->connected();
}

void MqttLink::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *link = static_cast<MqttLink *>(self);
    if (link->m_up.exchange(false))
        emit link->disconnected(rc == 0 ? QStringLiteral("closed") : errorText(rc));
}

void MqttLink::onPublish(mosquitto *, void *self, int mid)
{
    auto *link = static_cast<MqttLink *>(self);
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(link->m_ackLock);
        link->m_acks.append(mid);
        tell = !link->m_ackSignalled;
        link->m_ackSignalled = true;
    }
    link->m_ackArrived.notify_all();
    // One queued signal per batch: under load the owner takes hundreds of
    // acknowledgements in one go instead of one event each.
    if (tell)
        emit link->acknowledged();
}

void MqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *msg)
{
    auto *link = static_cast<MqttLink *>(self);
    emit link->messageReceived(QString::fromUtf8(msg->topic),
                               QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen));
}

int MqttLink::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    return publish(topic.toUtf8(), payload, qos, retain);
}

int MqttLink::publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_mosq)
        return 0;
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, topic.constData(), payload.size(), payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        qWarning().noquote() << QStringLiteral("MQTT: message of %1 bytes to %2 not sent: %3")
                                    .arg(payload.size())
                                    .arg(QString::fromUtf8(topic), errorText(rc));
        return 0;
    }
    return mid;
}

bool MqttLink::subscribe(const QString &topic, int qos)
{
    const int rc = m_mosq ? mosquitto_subscribe(m_mosq, nullptr, topic.toUtf8().constData(), qos) : MOSQ_ERR_INVAL;
    if (rc != MOSQ_ERR_SUCCESS)
        qWarning().noquote() << QStringLiteral("MQTT: subscription to %1 failed: %2").arg(topic, errorText(rc));
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttLink::unsubscribe(const QString &topic)
{
    if (m_mosq)
        mosquitto_unsubscribe(m_mosq, nullptr, topic.toUtf8().constData());
}

QVector<int> MqttLink::takeAcks()
{
    std::lock_guard<std::mutex> lock(m_ackLock);
    QVector<int> out;
    out.swap(m_acks);
    m_ackSignalled = false;
    return out;
}

bool MqttLink::waitForAcks(QDeadlineTimer deadline)
{
    std::unique_lock<std::mutex> lock(m_ackLock);
    return m_ackArrived.wait_for(lock, std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime())),
                                 [this] { return !m_acks.isEmpty(); });
}
