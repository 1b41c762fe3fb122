#pragma once
// Serves one connection at a time: reads requests, hands each complete one
// to the request handler and decides whether the connection stays open for
// the next. The pool hands it connections and a thread to run in, which it
// shares with other handlers: a few threads serve many connections, each
// woken once for all the connections that are ready, instead of one thread
// per connection and a wake-up per request.

#include "http/httplistenersettings.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QScopedPointer>
#include <QSslConfiguration>
#include <QThread>

#include <atomic>
#include <functional>

class HttpRequestHandler;
class HttpRequestParser;
class HttpResponse;
class QIODevice;
class QTcpSocket;
class QTimer;

class HttpConnectionHandler : public QObject
{
    Q_OBJECT
public:
    // ssl is used when not null. The request handler must outlive this
    // object; thread (running, not owned) must outlive it too.
    HttpConnectionHandler(const HttpListenerSettings &settings, HttpRequestHandler *requestHandler,
                          QThread *thread, const QSslConfiguration *ssl = nullptr);
    // Closes the connection in the handler's thread and waits for that.
    // Never called from the handler's own thread.
    ~HttpConnectionHandler() override;

    // Written by the pool under its mutex (set) and by the handler's thread
    // when a connection ends (cleared).
    bool isBusy() const { return m_busy; }
    void setBusy() { m_busy = true; }

public slots:
    // Takes over an accepted socket; called queued, so it runs in the handler's thread.
    void handleConnection(qintptr socketDescriptor);

private slots:
    void read();
    void onTimer();
    void disconnected();
    void bytesWritten();

private:
    void serve();
    void readTimeout();
    // The connection may stay idle (or take for a request head) readTimeout
    // from now. Moves a deadline; the timer is restarted only when it fires
    // early, not on every request.
    void armTimeout();
    void closeConnection();
    void halfCloseWhenFlushed();
    void reset();
    // A fresh socket (and writer) for the next connection; the old socket
    // was handed over or deleted.
    void useNewSocket();
    void handOver();

    const HttpListenerSettings m_settings;
    HttpRequestHandler *const m_requestHandler;
    const bool m_ssl;
    QSslConfiguration m_sslConfig; // for the socket that replaces one handed over
    // Everything below lives in the handler's thread and is touched only there.
    QTcpSocket *m_socket = nullptr;
    QTimer *m_timer = nullptr;
    QDeadlineTimer m_deadline;     // when the connection times out; m_timer fires at or before it
    QIODevice *m_out = nullptr;    // where responses go: m_socket, or past its buffer for plain TCP
    QScopedPointer<HttpRequestParser> m_parser;
    QByteArray m_pending;   // bytes read and not yet taken by a parser (pipelined requests)
    bool m_closing = false; // the last response is out; waiting for the peer to close
    bool m_paused = false;  // the peer is not reading its responses; reading stops until it does
    // A response asked for the connection; it leaves on the next turn of the
    // loop, outside the socket's own signal that served the request.
    QPointer<QObject> m_handOverTo;
    std::function<void(QTcpSocket *)> m_adopt;
    std::atomic<bool> m_busy{false};
};
