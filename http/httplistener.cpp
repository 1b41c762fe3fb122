#include "http/httplistener.h"

#include "core/connectionlimits.h"
#include "http/httpconnectionhandler.h"
#include "http/httpconnectionhandlerpool.h"
#include "http/httplog.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {
// Tells a connection that no handler is free. It lingers until the peer has
// read the answer and closed (closing at once, with the peer's request
// unread, could reset the connection before the answer is read), at most
// lingerMs.
void refuse(qintptr socketDescriptor, int lingerMs, QObject *parent)
{
    auto *socket = new QTcpSocket(parent);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(lingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write("HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n");
}
} // namespace

HttpListener::HttpListener(const HttpListenerSettings &settings, HttpRequestHandler *requestHandler,
                           QObject *parent)
    : QTcpServer(parent), m_settings(settings), m_requestHandler(requestHandler)
{
    // Out of descriptors for a moment must not mean never accepting again.
    new AcceptGuard(this, QStringLiteral("HTTP listener"));
    listen();
}

HttpListener::~HttpListener()
{
    close();
    qCDebug(lcHttp, "~HttpListener");
}

bool HttpListener::listen()
{
    if (!m_pool)
        m_pool = new HttpConnectionHandlerPool(m_settings, m_requestHandler, this);
    const QHostAddress address = m_settings.host.isEmpty() ? QHostAddress(QHostAddress::Any)
                                                           : QHostAddress(m_settings.host);
    if (!QTcpServer::listen(address, m_settings.port)) {
        qCritical("HttpListener: Cannot bind on port %i: %s", int(m_settings.port), qPrintable(errorString()));
        return false;
    }
    qCDebug(lcHttp, "HttpListener: Listening on port %i", int(serverPort()));
    return true;
}

void HttpListener::close()
{
    if (!isListening() && !m_pool)
        return;
    QTcpServer::close();
    delete m_pool;
    m_pool = nullptr;
    qCDebug(lcHttp, "HttpListener: closed");
}

void HttpListener::incomingConnection(qintptr socketDescriptor)
{
    HttpConnectionHandler *handler = m_pool ? m_pool->getConnectionHandler() : nullptr;
    if (!handler) {
        qCDebug(lcHttp, "HttpListener: Too many incoming connections");
        refuse(socketDescriptor, m_settings.readTimeout, this);
        return;
    }
    QMetaObject::invokeMethod(
        handler, [handler, socketDescriptor] { handler->handleConnection(socketDescriptor); },
        Qt::QueuedConnection);
}
