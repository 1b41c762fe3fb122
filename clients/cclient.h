#pragma once
// One client connection on the client port: takes the client's JSON
// commands (login, logout, panel control, clock, live values, remote state),
// turns panel-bound ones into command records for the panel manager, sends
// the dispatcher's events to its user and keeps the link alive with a
// heartbeat.
//
// Lives in the main thread. Nothing here runs a nested event loop: pauses are
// timers, writes go straight to the socket, so the object can only be
// deleted from the event loop (deleteLater after disconnection).

#include "clients/clientcodec.h"
#include "clients/jsonsplitter.h"
#include "core/cevent.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <QVariant>

#include <functional>

class CEventProcess;


class CClient : public QObject
{
    Q_OBJECT
public:
    // Periods of the connection's timers; tests shorten them.
    struct Timing
    {
        int heartbeatMs = 5000;
        int loginPauseMs = 100;   // between "LogOK_Mulsys" and the rest of a login
        int backlogMs = 100;      // one backlog event per period
        int resetFollowUpMs = 5000;
        // A connection that holds no login is closed this long after it
        // opened or logged out, unless events go to such connections.
        int loginDeadlineMs = 60000;
    };

    // The peer may keep an unfinished object open this long; it is then dropped.
    static constexpr int MaxObjectBytes = JsonSplitter::DefaultCap;
    // Bytes taken from the socket per pass, and what Qt may hold unread.
    static constexpr int ReadChunk = 16 * 1024;
    static constexpr int SocketReadBuffer = 256 * 1024;
    // A peer that stops reading is dropped once this much waits to go out.
    static constexpr qint64 MaxPendingWrite = 8 * 1024 * 1024;

    explicit CClient(CEventProcess *pEventProcess, QObject *parent = nullptr);
    ~CClient() override;

    // Answers a history question: runs q and calls done with the page in
    // this client's thread, or not at all once context is gone. The server
    // installs it when it records the history; without it HISTORY is
    // answered with "not recorded".
    using HistoryHandler = std::function<void(const HistoryQuery &q, QObject *context,
                                              std::function<void(const HistoryPage &)> done)>;
    void setHistoryHandler(HistoryHandler handler) { m_historyHandler = std::move(handler); }

    // Must be called before setSocket.
    void setTiming(const Timing &timing) { m_timing = timing; }
    const Timing &timing() const { return m_timing; }

    // Attaches the accepted connection; the client takes ownership of it.
    void setSocket(QTcpSocket *socket);
    QTcpSocket *socket() const { return m_socket; }

    QString userName() const { return m_userName; }
    bool isSilent() const { return m_bSilent; }
    // True while this connection holds a login of its user (control allowed).
    bool isLoggedIn() const;
    // A login was accepted and completes after the reply pause.
    bool isLoginPending() const { return m_bLoginPending; }

    // The message counter shared by all connections: 1..65534, then 1.
    static int nextSequence();
    // The listener calls this when it starts listening; tests set the counter.
    static void resetSequence(int value = 0);

    // Writes one numbered message unless the connection is silent.
    bool sendMessage(int nSerial, const QString &strWord, const QVariant &payload);
    void sendBeat();
    void resendBacklog();
    // What the dispatcher and the server may push to one login pause: far
    // more than 100 ms can bring; past it the oldest go, with a log line.
    static constexpr int MaxPauseDeliveries = 10000;

public slots:
    void onReadyRead();
    void clientDisconnected();
    // EventType 1 "NewEvent" with the event; 2 "RemoteOK" and 3
    // "RemoteFailed" (the event is not sent). To "ALL" or to one user.
    bool slotSendDataToClient(int EventType, const CEvent &sendEvent,
                              const QString &strUserName = QStringLiteral("ALL"));

signals:
    void eSetUserConnState(QString strUserName, int iConnState);
    void eEventSent2Client(QVariant evt, QString strData);
    void eLog(const CEvent &evt);
    void eSendCommandDataToPanel(const CEvent &event);

private slots:
    void slotHeartbeat();
    void slotBacklogTick();
    void slotResetFollowUp();
    void slotLoginContinue();
    void slotLoginDeadline();

private:
    void processInput();
    void processBuffer();
    void handleRequest(const ClientCodec::Request &request);
    void handleLogin(const UserInfo &u);
    void handleLogout(const UserInfo &u);
    void handleSetControl(CEvent e);
    void handleSetTime();
    void handleReadValueSwitch(CEvent e);
    void handleReadValue(CEvent e);
    void handleGetRemote();
    void handleHistory(const ClientCodec::Request &request);
    void sendHistory(const HistoryPage &page);
    // Panel commands need a logged-in connection; false (and logged) otherwise.
    bool allowPanelCommand(const QString &strWord, quint8 nPanelID, int nCode);
    // Takes the next number only for a message that will really go out.
    bool send(const QString &strWord, const QVariant &payload);
    // The event the dispatcher is delivering, in the encoding it made once.
    bool sendDelivered(const CEvent &e);
    // The socket can take a message; drops a peer that reads nothing.
    bool writable();
    void announceSent(const QString &strWord, const std::function<QVariant()> &payload);
    void log(quint8 nPanelID, int nEventCode, const QString &strText);
    void takeBacklog();
    void startBacklog();
    void writeToSocket(const QByteArray &data);
    QString peerText() const;

    CEventProcess *m_pEventProcess;
    QPointer<QTcpSocket> m_socket;
    HistoryHandler m_historyHandler;
    Timing m_timing;

    QString m_userName;
    quint64 m_nSession = 0;      // this connection's hold on the account (0: none)
    QString m_pendingUser;       // user whose login waits for the pause to end
    bool m_bLoginPending = false; // input is held back until the login completes

    bool m_bSilent = true;
    quint8 m_nMissedBeats = 0;
    bool m_bIdle = true;
    bool m_bResend = false;
    bool m_bClosed = false;
    // The conditions still to replay, taken when the login was accepted;
    // each is sent only if the dispatcher still holds it by then.
    QList<QPair<quint64, CEvent>> m_backlog;
    // What was delivered to all during the login pause (word, payload), for
    // this client once its login completes.
    QList<QPair<int, CEvent>> m_pauseDeliveries;
    bool m_bPauseOverflowLogged = false;

    QByteArray m_buffer;         // bytes read and not yet framed; at most ReadChunk + MaxObjectBytes
    JsonSplitter m_splitter{MaxObjectBytes};

    QTimer m_heartbeatTimer;
    QTimer m_backlogTimer;
    QTimer m_resetTimer;
    QTimer m_loginTimer;
    QTimer m_loginDeadline;

    static int s_nSequence;      // main thread only
};
