#pragma once
// An HTTP listener that accepts in a thread of its own, so that a main
// thread that is busy or hangs still gets its connections accepted and
// answered (the health check's "503", the web console's pages).

#include "http/httplistenersettings.h"

#include <QString>

class HttpListener;
class HttpRequestHandler;
class QObject;
class QThread;

class HttpListenerThread
{
public:
    HttpListenerThread() = default;
    ~HttpListenerThread(); // stop()
    HttpListenerThread(const HttpListenerThread &) = delete;
    HttpListenerThread &operator=(const HttpListenerThread &) = delete;

    // Starts the thread and listens there; false when binding failed (the
    // thread is stopped again). handler must outlive stop().
    bool start(const HttpListenerSettings &settings, HttpRequestHandler *handler, const QString &threadName);
    // Closes the listener and every connection, then ends the thread.
    void stop();
    quint16 port() const { return m_port; }

private:
    QThread *m_thread = nullptr;
    QObject *m_context = nullptr;     // lives in m_thread
    HttpListener *m_listener = nullptr; // created, used and deleted in m_thread
    quint16 m_port = 0;
};
