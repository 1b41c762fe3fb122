#pragma once
// Runs the NB-IoT receiver's HTTP server from httpConfig.ini and hands every
// body posted to "/postData" to handlePostData. Http is the manager the
// receiver uses: it passes each body on as a signal to the main thread.

#include "gateways/http/httplistenersettings.h"

#include <QByteArray>
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
    explicit Http(QObject *parent = nullptr);
    // Logs the body, emits sendJsonData and replies with an empty message.
    QString handlePostData(const QByteArray &body) override;

signals:
    void sendJsonData(QByteArray body);
};
