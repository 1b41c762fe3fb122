#pragma once
// An HTTP server on one address and port: accepts connections and hands
// each to a connection handler of its pool, which calls the one request
// handler given here. Several listeners with their own handlers and ports
// can run side by side.

#include "http/httplistenersettings.h"

#include <QTcpServer>

class HttpConnectionHandlerPool;
class HttpRequestHandler;

class HttpListener : public QTcpServer
{
    Q_OBJECT
public:
    // Listens at once. The request handler must outlive the listener.
    HttpListener(const HttpListenerSettings &settings, HttpRequestHandler *requestHandler,
                 QObject *parent = nullptr);
    ~HttpListener() override;

    // Listens on the settings' host and port; false (logged) when binding fails.
    bool listen();
    // Stops listening and ends every connection handler.
    void close();

    HttpConnectionHandlerPool *pool() const { return m_pool; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    const HttpListenerSettings m_settings;
    HttpRequestHandler *const m_requestHandler;
    HttpConnectionHandlerPool *m_pool = nullptr; // child
};
