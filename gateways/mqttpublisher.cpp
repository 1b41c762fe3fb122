#include "gateways/mqttpublisher.h"

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "gateways/mqttlink.h"

#include <QDateTime>
#include <QDebug>
#include <QDeadlineTimer>
#include <QDir>
#include <QSysInfo>

namespace {
// How long a clean stop waits for outstanding acknowledgements.
constexpr int kStopWaitMs = 2000;
// Journal entries read per look while a backlog drains.
constexpr int kPumpBatch = 500;
// Events staged for one journal commit at most.
constexpr int kMaxStaged = 500;
// Acknowledged events leave the journal together, a little later: one
// commit for many instead of one each. A crash meanwhile only sends them
// twice.
constexpr int kRemoveDelayMs = 100;
constexpr int kMaxAcked = 1000;
// How long acknowledgements gather before they are taken.
constexpr int kAckDelayMs = 5;

QString siteFile(const QString &path)
{
    return path.isEmpty() || QDir::isAbsolutePath(path) ? path : AppPaths::file(path);
}
} // namespace

MqttPublisher::Options MqttPublisher::optionsFromIni(const Options &base)
{
    const ServerContext &ctx = ServerContext::instance();
    Options o = base;
    o.host = ctx.iniText(QStringLiteral("Mqtt/host"), o.host);
    o.port = ctx.iniInt(QStringLiteral("Mqtt/port"), o.port, 1, 65535);
    o.clientId = ctx.iniText(QStringLiteral("Mqtt/clientId"), o.clientId);
    o.username = ctx.iniText(QStringLiteral("Mqtt/username"), o.username);
    o.password = ctx.iniText(QStringLiteral("Mqtt/password"), o.password, false);
    o.caFile = siteFile(ctx.iniText(QStringLiteral("Mqtt/caFile"), o.caFile));
    o.certFile = siteFile(ctx.iniText(QStringLiteral("Mqtt/certFile"), o.certFile));
    o.keyFile = siteFile(ctx.iniText(QStringLiteral("Mqtt/keyFile"), o.keyFile));
    o.topicPrefix = ctx.iniText(QStringLiteral("Mqtt/topicPrefix"), o.topicPrefix);
    o.qos = ctx.iniInt(QStringLiteral("Mqtt/qos"), o.qos, 0, 2);
    // libmosquitto takes no keep-alive below 5 s.
    o.keepAlive = ctx.iniInt(QStringLiteral("Mqtt/keepAlive"), o.keepAlive, 5, 65535);
    o.allowCommands = ctx.iniSwitch(QStringLiteral("Mqtt/allowCommands"));
    return o;
}

MqttPublisher::MqttPublisher(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    if (m_options.clientId.isEmpty())
        m_options.clientId = QStringLiteral("fireserver-") + QSysInfo::machineHostName();
    const QString defaultPrefix = QStringLiteral("fireserver/") + m_options.clientId;
    m_prefix = m_options.topicPrefix.isEmpty() ? defaultPrefix : m_options.topicPrefix;
    while (m_prefix.endsWith(QLatin1Char('/')))
        m_prefix.chop(1);
    if (m_prefix.isEmpty() || m_prefix.contains(QLatin1Char('+')) || m_prefix.contains(QLatin1Char('#'))
        || m_prefix.contains(QChar(0))) {
        qWarning().noquote() << QStringLiteral("MQTT: topic prefix \"%1\" cannot be published to; \"%2\" is used")
                                    .arg(m_options.topicPrefix, defaultPrefix);
        m_prefix = defaultPrefix;
    }
    m_eventsTopic = topic(QStringLiteral("events")).toUtf8();
    m_options.maxInFlight = qMax(1, m_options.maxInFlight);

    const QString journalPath = m_options.journalPath.isEmpty() ? AppPaths::file(QStringLiteral("MqttJournal.db"))
                                                                : m_options.journalPath;
    m_journal.open(journalPath, m_options.journalCaps);
    m_activeTimer.setSingleShot(true);
    connect(&m_activeTimer, &QTimer::timeout, this, &MqttPublisher::publishActive);
    m_ackTimer.setSingleShot(true);
    connect(&m_ackTimer, &QTimer::timeout, this, &MqttPublisher::onAckTimer);
    m_removeTimer.setSingleShot(true);
    connect(&m_removeTimer, &QTimer::timeout, this, &MqttPublisher::removeAcked);
}

MqttPublisher::~MqttPublisher()
{
    stop();
}

void MqttPublisher::start()
{
    if (m_link)
        return;
    MqttLink::Settings s;
    s.host = m_options.host;
    s.port = m_options.port;
    s.clientId = m_options.clientId;
    s.username = m_options.username;
    s.password = m_options.password;
    s.caFile = m_options.caFile;
    s.certFile = m_options.certFile;
    s.keyFile = m_options.keyFile;
    s.keepAlive = m_options.keepAlive;
    s.willTopic = topic(QStringLiteral("status"));
    s.willPayload = "offline";
    s.willQos = m_options.qos;
    s.reconnectMinMs = m_options.reconnectMinMs;
    s.reconnectMaxMs = m_options.reconnectMaxMs;
    m_link = new MqttLink(s, this);
    // Emitted in the network thread, so every one of these is queued.
    connect(m_link, &MqttLink::connected, this, &MqttPublisher::onConnected);
    connect(m_link, &MqttLink::disconnected, this, &MqttPublisher::onDisconnected);
    connect(m_link, &MqttLink::acknowledged, this, &MqttPublisher::onAcknowledged);
    connect(m_link, &MqttLink::messageReceived, this, &MqttPublisher::onMessage);
    qDebug().noquote() << QStringLiteral("MQTT: publishing to %1%2 as %3 under %4/; journal %5 holds %6 waiting events")
                              .arg(m_link->brokerText(), m_options.caFile.isEmpty() ? QString() : QStringLiteral(" (TLS)"),
                                   m_options.clientId, m_prefix, m_journal.path())
                              .arg(m_journal.count());
    m_link->start();
}

void MqttPublisher::stop()
{
    flushStaged();
    if (!m_link)
        return;
    m_activeTimer.stop();
    const bool wasConnected = m_connected;
    if (m_connected) {
        m_offlineMid = m_link->publish(topic(QStringLiteral("status")), "offline", m_options.qos, true);
        // A moment for what is on its way, so a clean stop leaves little to
        // be sent twice after the next start.
        const QDeadlineTimer deadline(kStopWaitMs);
        while ((m_offlineMid != 0 || !m_inFlight.isEmpty()) && m_link->waitForAcks(deadline))
            takeAcks();
    }
    m_link->stop();
    takeAcks();
    removeAcked();
    delete m_link;
    m_link = nullptr;
    m_connected = false;
    // A later start sends again whatever is still in the journal.
    m_inFlight.clear();
    m_offlineMid = 0;
    m_cursor = 0;
    m_backlog = true;
    if (wasConnected)
        qDebug().noquote() << QStringLiteral("MQTT: disconnected; %1 events wait in the journal").arg(m_journal.count());
}

void MqttPublisher::onConnected()
{
    if (!m_link)
        return;
    m_connected = true;
    qDebug().noquote() << QStringLiteral("MQTT: connected to %1 as %2; the journal holds %3 events")
                              .arg(m_link->brokerText(), m_options.clientId)
                              .arg(m_journal.count());
    publishRetained(QStringLiteral("status"), "online");
    // The broker keeps our subscriptions with the session, also one made
    // when commands were still allowed. QoS 0: a broker keeps no command for
    // us while we are away, so none is carried out long after it was given.
    if (m_options.allowCommands)
        m_link->subscribe(topic(QStringLiteral("commands")), 0);
    else
        m_link->unsubscribe(topic(QStringLiteral("commands")));
    for (auto it = m_states.begin(); it != m_states.end();) {
        publishRetained(QStringLiteral("controllers/%1/state").arg(it.key()), it.value());
        it = it.value().isEmpty() ? m_states.erase(it) : std::next(it);
    }
    if (!m_activePayload.isEmpty())
        publishRetained(QStringLiteral("active"), m_activePayload);
    else
        markActiveChanged();
    pump();
}

void MqttPublisher::onDisconnected(const QString &reason)
{
    if (!m_link)
        return;
    m_connected = false;
    qWarning().noquote() << QStringLiteral("MQTT: connection to %1 lost (%2); events wait in the journal")
                                .arg(m_link->brokerText(), reason);
    // libmosquitto sends unacknowledged QoS 1 and 2 messages again on the
    // next session, but drops QoS 0 ones: those go again from the journal.
    if (m_options.qos == 0 && !m_inFlight.isEmpty()) {
        qint64 oldest = m_cursor;
        for (qint64 id : qAsConst(m_inFlight))
            oldest = qMin(oldest, id);
        m_cursor = oldest - 1;
        m_inFlight.clear();
        m_backlog = true;
    }
}

void MqttPublisher::onAcknowledged()
{
    // Acknowledgements are taken a few at a time: under load this is one
    // wake-up of the main thread per batch instead of one per event.
    if (m_link && !m_ackTimer.isActive())
        m_ackTimer.start(kAckDelayMs);
}

void MqttPublisher::onAckTimer()
{
    if (!m_link)
        return;
    takeAcks();
    pump();
}

void MqttPublisher::takeAcks()
{
    const int ackedBefore = m_acked.size();
    for (int mid : m_link->takeAcks()) {
        if (mid == m_offlineMid) {
            m_offlineMid = 0;
            continue;
        }
        const auto it = m_inFlight.find(mid);
        if (it == m_inFlight.end())
            continue; // a status, state or result message
        m_acked.append(*it);
        m_inFlight.erase(it);
    }
    if (m_acked.size() > ackedBefore)
        m_lastAckMs = QDateTime::currentMSecsSinceEpoch();
    if (m_acked.size() >= kMaxAcked)
        removeAcked();
    else if (!m_acked.isEmpty() && !m_removeTimer.isActive())
        m_removeTimer.start(kRemoveDelayMs);
}

void MqttPublisher::removeAcked()
{
    m_removeTimer.stop();
    m_journal.remove(m_acked);
    m_acked.clear();
}

void MqttPublisher::publishEvent(const CEvent &event)
{
    m_staged.append(MqttCodec::encodeEvent(event));
    // The events of one pass of the event loop share one journal commit.
    if (m_staged.size() >= kMaxStaged)
        flushStaged();
    else if (m_staged.size() == 1)
        QMetaObject::invokeMethod(this, &MqttPublisher::flushStaged, Qt::QueuedConnection);
}

void MqttPublisher::flushStaged()
{
    if (m_staged.isEmpty())
        return;
    const QList<QByteArray> events = m_staged;
    m_staged.clear();
    const QList<qint64> ids = m_journal.append(events);
    int lost = 0;
    for (int i = 0; i < events.size(); ++i) {
        if (ids.at(i) == 0) {
            ++lost;
            continue;
        }
        // Straight out only when nothing older waits; otherwise in turn.
        const bool direct = !m_backlog && m_connected && m_inFlight.size() < m_options.maxInFlight;
        if (!direct || !sendEvent(ids.at(i), events.at(i)))
            m_backlog = true;
    }
    if (lost > 0)
        qWarning().noquote() << QStringLiteral("MQTT: %1 events could not be journaled and are not published").arg(lost);
}

bool MqttPublisher::sendEvent(qint64 id, const QByteArray &event)
{
    const int mid = m_link->publish(m_eventsTopic, MqttCodec::withSeq(event, id), m_options.qos, false);
    if (mid == 0)
        return false;
    m_inFlight.insert(mid, id);
    m_cursor = id;
    return true;
}

void MqttPublisher::pump()
{
    while (m_connected && m_backlog) {
        const int want = qMin(kPumpBatch, m_options.maxInFlight - m_inFlight.size());
        if (want <= 0)
            return;
        const QList<Journal::Entry> entries = m_journal.peek(want, -1, m_cursor);
        for (const Journal::Entry &e : entries) {
            if (!sendEvent(e.id, e.payload))
                return;
        }
        if (entries.size() < want)
            m_backlog = false;
    }
}

void MqttPublisher::markActiveChanged()
{
    if (m_activeSource && !m_activeTimer.isActive())
        m_activeTimer.start(m_options.activeIntervalMs);
}

void MqttPublisher::publishActive()
{
    if (!m_activeSource)
        return;
    const QByteArray payload = MqttCodec::encodeActive(m_activeSource());
    if (payload == m_activePayload)
        return;
    m_activePayload = payload;
    if (m_connected)
        publishRetained(QStringLiteral("active"), payload);
    // One more look after an interval catches changes that land just after
    // this one (a reset's follow-up comes 10 ms after the reset itself).
    m_activeTimer.start(m_options.activeIntervalMs);
}

void MqttPublisher::setControllerState(int nControllerID, const MqttCodec::ControllerState &state)
{
    const QByteArray payload = MqttCodec::encodeControllerState(state);
    if (m_states.value(nControllerID) == payload)
        return;
    m_states.insert(nControllerID, payload);
    if (m_connected)
        publishRetained(QStringLiteral("controllers/%1/state").arg(nControllerID), payload);
}

void MqttPublisher::removeControllerState(int nControllerID)
{
    if (!m_states.contains(nControllerID))
        return;
    // An empty retained message clears the topic at the broker.
    if (m_connected) {
        publishRetained(QStringLiteral("controllers/%1/state").arg(nControllerID), QByteArray());
        m_states.remove(nControllerID);
    } else {
        m_states.insert(nControllerID, QByteArray());
    }
}

void MqttPublisher::publishRetained(const QString &name, const QByteArray &payload)
{
    m_link->publish(topic(name), payload, m_options.qos, true);
}

void MqttPublisher::onMessage(const QString &messageTopic, const QByteArray &payload)
{
    if (!m_link || messageTopic != topic(QStringLiteral("commands")))
        return;
    if (!m_options.allowCommands) {
        qWarning().noquote() << QStringLiteral("MQTT: command ignored: commands are not allowed (Mqtt/allowCommands)");
        return;
    }
    const MqttCodec::Command c = MqttCodec::decodeCommand(payload);
    if (!c.error.isEmpty()) {
        qWarning().noquote() << QStringLiteral("MQTT: command %1 refused: %2")
                                    .arg(c.id.isEmpty() ? QStringLiteral("without id") : c.id, c.error);
        answerCommand(c.id, false, c.error);
        return;
    }
    emit commandReceived(c.id, c.event);
}

void MqttPublisher::answerCommand(const QString &id, bool ok, const QString &error)
{
    if (!m_connected) {
        qWarning().noquote() << QStringLiteral("MQTT: result of command %1 not sent: not connected").arg(id);
        return;
    }
    m_link->publish(topic(QStringLiteral("commands/result")), MqttCodec::encodeResult(id, ok, error), m_options.qos,
                    false);
}
