#pragma once
// The web console (config.ini's group Web, off unless Web/port is set): the
// site's live state in a browser, behind the client accounts' login. Pages
// and scripts come from the binary's resources; /api answers JSON and
// streams delivered events as server-sent events. It acts on the server as
// the Qt console and the clients do: commands go to the one panel named,
// only with Server/isControl on, logged with the account's name.
//
// The HTTP connections run in threads of their own; everything that reads
// the server runs in the main thread, asked through a gate that the stop
// closes before it waits for those threads.

#include "core/cevent.h"
#include "http/httplistenersettings.h"
#include "http/httplistenerthread.h"
#include "server/serverservice.h"
#include "core/callgate.h"
#include "web/websessions.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QMultiMap>
#include <QString>

#include <memory>

class ControllerStates;
class EventStream;
class FireServer;
class WebHandler;

class WebService : public ServerService
{
    Q_OBJECT
public:
    struct Settings
    {
        HttpListenerSettings listener;
        int idleMinutes = 30;
        int maxSessions = 20; // logins, and live event streams
        int ringSize = 1000;  // events a reconnecting page can catch up on
    };
    // Web/host, Web/port, Web/certFile, Web/keyFile, Web/sessionMinutes,
    // Web/maxSessions; false when Web/port leaves it off. port, when not
    // -1, stands in for Web/port (0: any free port).
    static bool settingsFromIni(Settings *settings, int port = -1);

    // What a connection thread hands the main thread of one /api request.
    struct Call
    {
        QByteArray method;
        QByteArray path;
        QMultiMap<QByteArray, QByteArray> parameters;
        QByteArray body;
        QByteArray contentType;
        QByteArray session; // the cookie
        QByteArray csrf;    // the X-CSRF-Token header
        QByteArray lastEventId;
        QHostAddress peer;
    };
    // And what it gets back.
    struct Reply
    {
        int status = 200;
        QJsonObject body;
        QByteArray setSession;    // a new session cookie; "-" clears it
        bool stream = false;      // hand the connection to the event stream
        qint64 streamFrom = 0;
        bool history = false;     // run the history query in the connection thread
        QString historyPath;
    };

    explicit WebService(QObject *parent = nullptr);
    ~WebService() override;

    Start start(FireServer &server) override;
    void stop() override;
    void panelEvent(const CEvent &e) override;
    void eventDelivered(const CEvent &e) override;
    void writeMetrics(MetricsText &t) const override;

    // Starts without config.ini (tests, benchmarks); false when the port
    // could not be taken.
    bool startWith(FireServer &server, const Settings &settings);
    quint16 port() const { return m_port; }
    bool isTls() const { return !m_settings.listener.sslCertFile.isEmpty(); }
    EventStream *stream() const { return m_stream; }
    WebSessions *sessions() const { return m_sessions.get(); }
    CallGate &gate() { return m_gate; }

    // The answer to one /api request; main thread.
    Reply answer(const Call &call);

    static QJsonObject eventJson(const CEvent &e);

signals:
    // One record per command for the console's log, as a client's eLog.
    void eLog(const CEvent &evt);

private:
    Reply login(const Call &call);
    QJsonObject sessionJson(const WebSessions::Session &session) const;
    Reply status(const QString &user) const;
    Reply command(const Call &call, const QString &user);
    void log(const CEvent &command, const QString &text);

    FireServer *m_server = nullptr;
    Settings m_settings;
    CallGate m_gate;
    std::unique_ptr<WebSessions> m_sessions;
    std::unique_ptr<ControllerStates> m_states;
    EventStream *m_stream = nullptr; // child
    WebHandler *m_handler = nullptr; // owned; serves in the connection threads
    HttpListenerThread m_listener;
    quint16 m_port = 0;
    qint64 m_logins = 0;
    qint64 m_refusedLogins = 0;
    qint64 m_commands = 0;
};
