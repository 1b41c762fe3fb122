#pragma once
// Transmission to monitoring centres on TCP 2009: every event that the panel
// manager emits becomes one text line for every connected centre. Lives in
// the main thread; each centre is served by its own RemoteThread. The link
// state is announced as a light status, as "RemoteOK"/"RemoteFailed" to the
// client programs (through the server object's notice function) and in
// ServerContext::remoteLinkOk.

#include "core/cevent.h"

#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QTcpServer>
#include <QVariant>
#include <QWaitCondition>

#include <functional>

class RemoteThread;

class RemoteServer : public QTcpServer
{
    Q_OBJECT
public:
    struct Options
    {
        int idleMs = 1000;           // quiet time before a heartbeat
        int answerMs = 5000;         // a centre answers a heartbeat within this
        int linePauseMs = 1;         // between two lines to one centre
        int writeStallMs = 60000;    // a centre that takes no byte this long is dropped
        int failureCheckMs = 84000;  // after a drop, when the link is judged
        int failureGuardMs = 83000;  // a drop more recent than this has its own check
        // Lines waiting for one centre; past it the oldest line is dropped
        // (about 50 s of transmission at the line pace).
        int maxQueuedLines = 50000;
    };
    // Accepted centres at one time; further connections are closed at once.
    static constexpr int MaxCentres = 64;

    // Sends "RemoteOK" (nEventType 2) or "RemoteFailed" (3) to every connected
    // client program; returns how many clients there were.
    using ClientNotice = std::function<int(int nEventType)>;

    explicit RemoteServer(QObject *parent = nullptr);
    explicit RemoteServer(const Options &options, QObject *parent = nullptr);
    // Stops every worker and waits for it.
    ~RemoteServer() override;

    void setClientNotice(ClientNotice notice) { m_clientNotice = std::move(notice); }
    // Appends the line to every centre's queue (light 2 even without a centre).
    void broadcastToRemote(const QString &line);
    // Stops listening, ends every connection and waits for the workers;
    // no failure check is scheduled for them.
    void stopAll();
    int centreCount() const { return m_workers.size(); }

signals:
    void sigStrOutput(QString strOutput);
    void indicateRemoteLight(uchar nStatus);
    // The link state the clients are told as "RemoteOK"/"RemoteFailed".
    void linkAnnounced(bool bUp);

public slots:
    void newDataToSend(const CEvent &e);
    void handleRemoteLight(uchar nStatus);
    void handleStrOutput(QString str);
    // The delayed failure check after a connection ended.
    void sltTimmer();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void linkStarted();
    void workerFinished(RemoteThread *worker);
    void announce(int nEventType, uchar nLight, bool lightWithoutClients);

    Options m_options;
    ClientNotice m_clientNotice;
    QList<RemoteThread *> m_workers;  // running or finishing; main thread only
    int m_nextId = 0;                 // queue key of the next connection
    bool m_stopped = false;           // stopAll() ran: the link is no longer judged
    QElapsedTimer m_lastDrop;         // monotonic: a clock set back cannot hide a failure
    // Centres whose queue is in an overflow episode; main thread only.
    QSet<int> m_overflowing;
    // Workers wait on it for new lines, with ServerContext::remoteQueueLock.
    QWaitCondition m_queueWake;
};
