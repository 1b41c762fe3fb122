#pragma once
// Runs the NB-IoT receiver's HTTP server from httpConfig.ini and hands every
// body posted to "/postData" to handlePostData. Http is the manager the
// receiver uses: it passes each body on as a signal to the main thread.

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

class HttpListener;
class RequestManager;

class HttpManager : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *ConfigFileName = "httpConfig.ini";

    explicit HttpManager(QObject *parent = nullptr);
    ~HttpManager() override;

    // Called in the HTTP server's connection threads, several at once. The
    // reply becomes the acknowledgement's "err_msg"; "OK" or empty mean success.
    virtual QString handlePostData(const QByteArray &body);

    // Finds httpConfig.ini and starts the listener of its "listener" group;
    // false when no file was found (no listener then).
    bool startListener();
    // Closes the listener; returns once no connection thread is in handlePostData.
    void stopListener();
    HttpListener *listener() const { return m_listener; }
    // The port listened on; 0 when not listening.
    quint16 serverPort() const;

    // The places httpConfig.ini is looked for, first match wins.
    static QStringList configDirectories();
    // The canonical path of the first httpConfig.ini found; empty when none.
    static QString findConfigFile();

private:
    RequestManager *m_requestManager = nullptr; // child
    HttpListener *m_listener = nullptr;         // child
};

class Http : public HttpManager
{
    Q_OBJECT
public:
    // Bodies waiting for the main thread at most; beyond, a post is refused
    // with err_code 1 rather than acknowledged and lost.
    static constexpr int MaxWaiting = 10000;
    // Bodies arriving within this time reach the main thread together.
    static constexpr int BatchDelayMs = 5;

    explicit Http(QObject *parent = nullptr);
    // Stops the listener first: its threads call handlePostData.
    ~Http() override;
    // Logs the body and queues it for sendJsonData in this object's thread;
    // replies with an empty message, or "busy" when MaxWaiting are waiting.
    QString handlePostData(const QByteArray &body) override;

signals:
    // In this object's thread, once per body, in the order they arrived.
    void sendJsonData(QByteArray body);

private:
    void deliver();

    // Guards m_waiting; taken by the connection threads (append) and this
    // object's thread (take all). The main thread is woken once per batch,
    // not per body: a queued call per request halved the server's
    // throughput and tripled its p99 latency under load.
    QMutex m_mutex;
    QList<QByteArray> m_waiting;
};
