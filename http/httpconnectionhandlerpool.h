#pragma once
// The connection handlers of one listener: hands out an idle one or makes a
// new one up to maxThreads (the settings' name: one handler serves one
// connection), and every cleanupInterval removes one idle handler beyond
// minThreads. The handlers share a few threads (twice the cores, at most
// maxThreads), started as handlers need them and taken in turn. Optionally
// loads the TLS key and certificate.

#include "http/httplistenersettings.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QScopedPointer>
#include <QSslConfiguration>
#include <QTimer>

class HttpConnectionHandler;
class HttpRequestHandler;
class QThread;

class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    HttpConnectionHandlerPool(const HttpListenerSettings &settings, HttpRequestHandler *requestHandler,
                              QObject *parent = nullptr);
    ~HttpConnectionHandlerPool() override;

    // An idle handler, now marked busy; null when maxThreads are all busy.
    HttpConnectionHandler *getConnectionHandler();

    // Handlers, busy or idle: the connections that can be served at once.
    int size() const;
    int busyCount() const;
    // Threads the handlers run in.
    int threadCount() const;
    bool sslEnabled() const { return !m_ssl.isNull(); }

public slots:
    void cleanup();

private:
    void loadSslConfig();
    // The thread for the next new handler (m_mutex held).
    QThread *nextThread();

    const HttpListenerSettings m_settings;
    HttpRequestHandler *const m_requestHandler;
    QScopedPointer<QSslConfiguration> m_ssl; // set once in the constructor
    QTimer m_cleanupTimer;
    // Guards m_pool; taken by the listener's thread (get, cleanup, size) and the destructor.
    mutable QMutex m_mutex;
    QList<HttpConnectionHandler *> m_pool;
    QList<QThread *> m_threads; // under m_mutex; running until the destructor
    int m_nextThread = 0;       // under m_mutex
};
