#pragma once
// The connection handlers of one listener: hands out an idle one or makes a
// new one up to maxThreads, and every cleanupInterval removes one idle
// handler beyond minThreads. Optionally loads the TLS key and certificate.

#include "http/httplistenersettings.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QScopedPointer>
#include <QSslConfiguration>
#include <QTimer>

class HttpConnectionHandler;
class HttpRequestHandler;

class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    HttpConnectionHandlerPool(const HttpListenerSettings &settings, HttpRequestHandler *requestHandler,
                              QObject *parent = nullptr);
    ~HttpConnectionHandlerPool() override;

    // An idle handler, now marked busy; null when maxThreads are all busy.
    HttpConnectionHandler *getConnectionHandler();

    int size() const;
    int busyCount() const;
    bool sslEnabled() const { return !m_ssl.isNull(); }

public slots:
    void cleanup();

private:
    void loadSslConfig();

    const HttpListenerSettings m_settings;
    HttpRequestHandler *const m_requestHandler;
    QScopedPointer<QSslConfiguration> m_ssl; // set once in the constructor
    QTimer m_cleanupTimer;
    // Guards m_pool; taken by the listener's thread (get, cleanup, size) and the destructor.
    mutable QMutex m_mutex;
    QList<HttpConnectionHandler *> m_pool;
};
