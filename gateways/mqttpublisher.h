#pragma once
// Northbound MQTT: every event the dispatcher delivers to clients goes to a
// broker under the topic prefix ("events", in delivery order, numbered by
// "seq"), beside the retained server status ("status"), the retained state
// of each controller ("controllers/<n>/state") and a retained snapshot of
// the active conditions ("active"). Commands come back on "commands" and
// are answered on "commands/result".
//
// Nothing is lost while the broker is away: each event is written to a
// store-and-forward journal before it is sent (the events of one pass of the
// event loop in one commit) and leaves it only when the broker acknowledged
// it; what waits goes out in order, before anything
// newer, once the broker is back (also after a restart, clean or killed).
// The journal id is the event's "seq", so a gap tells a subscriber that
// events were dropped at the journal's cap (which is logged).
//
// Lives in the main thread; the connection's network thread (MqttLink)
// reaches it only through queued signals.

#include "core/cevent.h"
#include "gateways/journal.h"
#include "gateways/mqttcodec.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <functional>

class MqttLink;

// What the publisher is told: config.ini's group Mqtt, and timing that
// tests and benchmarks shorten.
struct MqttOptions
{
    QString host = QStringLiteral("localhost");
    int port = 1883;
    QString clientId;       // empty: "fireserver-" + the machine's host name
    QString username;
    QString password;
    QString caFile;         // set: TLS
    QString certFile;
    QString keyFile;
    QString topicPrefix;    // empty: "fireserver/" + the client id
    int qos = 1;
    int keepAlive = 30;     // seconds
    bool allowCommands = false;
    // Not in config.ini.
    QString journalPath;    // empty: "MqttJournal.db" in the application directory
    Journal::Caps journalCaps;
    int reconnectMinMs = 1000;
    int reconnectMaxMs = 30000;
    int activeIntervalMs = 1000;
    // Events handed to the connection and not yet acknowledged; the rest
    // wait in the journal.
    int maxInFlight = 1000;
};

class MqttPublisher : public QObject
{
    Q_OBJECT
public:
    using Options = MqttOptions;

    // The Mqtt group of config.ini over base (fields that are not in the
    // file keep base's values); values out of range are logged and replaced
    // by the defaults.
    static Options optionsFromIni(const Options &base = Options());

    explicit MqttPublisher(const Options &options, QObject *parent = nullptr);
    // stop()
    ~MqttPublisher() override;

    // Starts connecting; the events wait in the journal until it succeeds.
    void start();
    // Journals what was just handed over, publishes "offline", gives
    // outstanding events a moment to be acknowledged and disconnects
    // cleanly. What is still waiting stays in the journal for the next start.
    void stop();

    bool isConnected() const { return m_connected; }
    const Options &options() const { return m_options; }
    // The prefix followed by "/" and name.
    QString topic(const QString &name) const { return m_prefix + QLatin1Char('/') + name; }
    const Journal &journal() const { return m_journal; }
    // When the broker last acknowledged an event (ms since the epoch; 0: never).
    qint64 lastAckMsecs() const { return m_lastAckMs; }
    int inFlightCount() const { return m_inFlight.size(); }

    // Where the snapshot of the active conditions comes from.
    void setActiveSource(std::function<QList<CEvent>()> source) { m_activeSource = std::move(source); }
    // Published (retained) when it differs from what was published last.
    void setControllerState(int nControllerID, const MqttCodec::ControllerState &state);
    // Clears the retained state of a controller that is gone.
    void removeControllerState(int nControllerID);
    // The answer on "commands/result" to a command given with commandReceived.
    void answerCommand(const QString &id, bool ok, const QString &error);

public slots:
    // The dispatcher's sendEventToClient: new events to all users are published.
    void publishEvent(const CEvent &event);
    // The active conditions may have changed: a snapshot is taken at most
    // once per activeIntervalMs and published when it differs.
    void markActiveChanged();

signals:
    // A well-formed command (only with allowCommands); whoever receives it
    // decides and calls answerCommand. Malformed ones are answered here.
    void commandReceived(const QString &id, const CEvent &command);

private:
    void onConnected();
    void onDisconnected(const QString &reason);
    void onAcknowledged();
    void onAckTimer();
    void onMessage(const QString &topic, const QByteArray &payload);
    // Takes the connection's acknowledgements: the events leave m_inFlight
    // and, with the next removeAcked(), the journal.
    void takeAcks();
    void removeAcked();
    // Journals the staged events and sends what may go at once.
    void flushStaged();
    bool sendEvent(qint64 id, const QByteArray &event);
    // Sends waiting journal entries while the connection has room.
    void pump();
    void publishActive();
    void publishRetained(const QString &name, const QByteArray &payload);

    Options m_options;
    QString m_prefix;
    QByteArray m_eventsTopic; // UTF-8, encoded once: it goes with every event
    Journal m_journal;
    MqttLink *m_link = nullptr;
    bool m_connected = false;

    QList<QByteArray> m_staged; // events of this pass of the event loop, not yet journaled
    // Message id -> journal id of the events handed to the connection and
    // not yet acknowledged. Kept across a dropped session: libmosquitto
    // sends them again when the next one starts (QoS 1 and 2).
    QHash<int, qint64> m_inFlight;
    QTimer m_ackTimer;
    QList<qint64> m_acked;    // journal ids acknowledged, not yet removed
    qint64 m_lastAckMs = 0;
    QTimer m_removeTimer;
    qint64 m_cursor = 0;      // journal id of the newest event handed to the connection
    bool m_backlog = true;    // entries newer than m_cursor may wait in the journal
    int m_offlineMid = 0;     // the clean stop's "offline", until acknowledged

    std::function<QList<CEvent>()> m_activeSource;
    QTimer m_activeTimer;
    QByteArray m_activePayload; // the latest snapshot taken
    QMap<int, QByteArray> m_states; // controller -> latest state; empty: to be cleared
};
