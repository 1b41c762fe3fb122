#include "http/httpconnectionhandler.h"

#include "http/httplog.h"
#include "http/httprequesthandler.h"
#include "http/httprequestparser.h"
#include "http/httpresponse.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSslSocket>
#include <QTimer>

#include <cerrno>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Responses of a plain TCP connection go straight to the kernel when the
// socket holds nothing unsent, and only what the kernel does not take goes
// through the socket's buffer. QTcpSocket::write buffers every response and
// switches its write notifier on and off around the flush; with the glib
// event loop each switch wakes the thread once more, which cost more than
// the write itself.
class DirectWriter : public QIODevice
{
public:
    explicit DirectWriter(QTcpSocket *socket, QObject *parent) : QIODevice(parent), m_socket(socket)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (!m_socket->isOpen())
            return size; // as a write to the closed socket: nothing goes out
        qint64 sent = 0;
        if (m_socket->bytesToWrite() == 0 && m_socket->state() == QAbstractSocket::ConnectedState) {
            const int fd = int(m_socket->socketDescriptor());
            while (sent < size) {
                const ssize_t n = ::send(fd, data + sent, size_t(size - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    sent += n;
                else if (n < 0 && errno == EINTR)
                    continue;
                else
                    break; // full, or failing: the socket takes the rest and reports what went wrong
            }
        }
        if (sent < size)
            m_socket->write(data + sent, size - sent);
        return size;
    }

private:
    QTcpSocket *const m_socket;
};

constexpr qint64 ReadChunk = 64 * 1024;
// A peer that sends requests without reading the responses stops being
// read once this much is waiting to go out to it.
constexpr qint64 MaxUnsentBytes = 1024 * 1024;

bool isClose(const QByteArray &value)
{
    return qstricmp(value.trimmed().constData(), "close") == 0;
}
} // namespace

HttpConnectionHandler::HttpConnectionHandler(const HttpListenerSettings &settings,
                                             HttpRequestHandler *requestHandler, QThread *thread,
                                             const QSslConfiguration *ssl)
    : m_settings(settings), m_requestHandler(requestHandler), m_ssl(ssl != nullptr)
{
    if (ssl)
        m_sslConfig = *ssl;
    useNewSocket();
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &HttpConnectionHandler::onTimer);
    // The socket and the timer follow this object into its thread.
    moveToThread(thread);
    if (ssl)
        qCDebug(lcHttp, "HttpConnectionHandler (%p): SSL is enabled", static_cast<void *>(this));
    qCDebug(lcHttp, "HttpConnectionHandler (%p): constructed", static_cast<void *>(this));
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_timer->stop();
            m_socket->disconnect(this); // no disconnected() after the socket is gone
            m_socket->abort();
            // A disconnected() queued before must not run on a deleted socket either.
            QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
            if (m_out != m_socket)
                delete m_out;
            delete m_socket;
            delete m_timer;
            m_out = nullptr;
            m_socket = nullptr;
            m_timer = nullptr;
            m_parser.reset();
        },
        Qt::BlockingQueuedConnection);
    qCDebug(lcHttp, "HttpConnectionHandler (%p): destroyed", static_cast<void *>(this));
}

void HttpConnectionHandler::useNewSocket()
{
    if (m_out != m_socket)
        delete m_out;
    QTcpSocket *socket = nullptr;
    if (m_ssl) {
        auto *s = new QSslSocket(this);
        s->setSslConfiguration(m_sslConfig);
        socket = s;
    } else {
        socket = new QTcpSocket(this);
    }
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(socket, &QTcpSocket::bytesWritten, this, &HttpConnectionHandler::bytesWritten);
    // Queued: a disconnect noticed inside a write must not reset the request being served.
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected, Qt::QueuedConnection);
    m_socket = socket;
    m_out = m_ssl ? static_cast<QIODevice *>(socket) : new DirectWriter(socket, this);
}

void HttpConnectionHandler::handOver()
{
    // The connection ended (or another came) since the request asked for it.
    if (!m_adopt)
        return;
    QObject *receiver = m_handOverTo;
    if (!receiver) { // gone meanwhile (shutting down)
        m_socket->abort();
        reset();
        m_busy = false;
        return;
    }
    // The socket goes with its connection; this handler takes a fresh one
    // and is free for the next connection at once. Should the receiver go
    // before it takes the socket, the socket is deleted, not leaked.
    struct Parcel
    {
        QTcpSocket *socket = nullptr;
        ~Parcel() { if (socket) socket->deleteLater(); }
    };
    auto parcel = std::make_shared<Parcel>();
    parcel->socket = m_socket;
    m_socket->disconnect(this);
    m_socket->setParent(nullptr);
    m_socket->moveToThread(receiver->thread());
    const std::function<void(QTcpSocket *)> adopt = m_adopt;
    QMetaObject::invokeMethod(receiver, [parcel, adopt] {
        QTcpSocket *socket = parcel->socket;
        parcel->socket = nullptr;
        adopt(socket);
    }, Qt::QueuedConnection);
    useNewSocket();
    reset();
    m_busy = false;
}

void HttpConnectionHandler::reset()
{
    m_timer->stop();
    m_parser.reset();
    m_pending.clear();
    m_closing = false;
    m_paused = false;
    m_handOverTo = nullptr;
    m_adopt = nullptr;
}

void HttpConnectionHandler::handleConnection(qintptr socketDescriptor)
{
    qCDebug(lcHttp, "HttpConnectionHandler (%p): handle new connection", static_cast<void *>(this));
    m_busy = true;
    reset();
    if (m_ssl && m_socket->state() == QAbstractSocket::UnconnectedState
        && static_cast<QSslSocket *>(m_socket)->mode() != QSslSocket::UnencryptedMode) {
        // A TLS socket keeps the mode of its last connection and would refuse
        // the next handshake: each connection gets a fresh one.
        delete m_socket;
        useNewSocket();
    }
    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qCritical("HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void *>(this),
                  qPrintable(m_socket->errorString()));
        // The descriptor is ours now; without this it and the handler would stay taken.
        ::close(int(socketDescriptor));
        m_busy = false;
        return;
    }
    // Bounds what Qt buffers for us; the kernel and TCP hold back the rest.
    m_socket->setReadBufferSize(ReadChunk);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_ssl) {
        qCDebug(lcHttp, "HttpConnectionHandler (%p): Starting encryption", static_cast<void *>(this));
        static_cast<QSslSocket *>(m_socket)->startServerEncryption();
    }
    armTimeout();
}

void HttpConnectionHandler::armTimeout()
{
    m_deadline.setRemainingTime(m_settings.readTimeout);
    if (!m_timer->isActive())
        m_timer->start(m_settings.readTimeout);
}

void HttpConnectionHandler::onTimer()
{
    // The deadline only ever moves later while the timer runs.
    const qint64 left = m_deadline.remainingTime();
    if (left > 0)
        m_timer->start(int(left));
    else
        readTimeout();
}

void HttpConnectionHandler::read()
{
    if (m_closing) {
        m_socket->readAll(); // the answer is out; what still comes is not read
        return;
    }
    if (m_adopt)
        return; // what comes now is the new owner's

    for (;;) {
        if (m_socket->bytesToWrite() > MaxUnsentBytes) {
            m_paused = true; // resumed by bytesWritten()
            return;
        }
        if (m_pending.isEmpty()) {
            // At most ReadChunk, the socket's buffer size; read(ReadChunk)
            // would allocate that much for every request.
            m_pending = m_socket->readAll();
            if (m_pending.isEmpty())
                return;
        }
        if (!m_parser)
            m_parser.reset(new HttpRequestParser(m_settings.maxRequestSize, m_settings.maxMultiPartSize,
                                                 m_socket->peerAddress()));
        const bool started = m_parser->hasStarted();
        const HttpRequestParser::Result r = m_parser->feed(m_pending);
        m_pending.remove(0, int(r.consumed));
        if (r.status == HttpRequestParser::Invalid) {
            m_socket->write("HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n");
            closeConnection();
            return;
        }
        if (r.status == HttpRequestParser::Complete) {
            serve(); // restarts or ends the timer, which cannot fire meanwhile
            if (m_closing || m_adopt || m_socket->state() != QAbstractSocket::ConnectedState)
                return;
            continue;
        }
        // The head must be complete readTimeout after its first byte, however
        // slowly it trickles in; a body in progress earns more time with every read.
        if (!started || m_parser->request().status() == HttpRequest::waitForBody)
            armTimeout();
    }
}

void HttpConnectionHandler::serve()
{
    HttpRequest &request = m_parser->request();
    qCDebug(lcHttp, "HttpConnectionHandler (%p): received request", static_cast<void *>(this));
    HttpResponse response(m_out);
    if (isClose(request.header("connection")) || request.version() == "HTTP/1.0")
        response.setHeader("Connection", QByteArray("close"));

    bool failed = false;
    try {
        m_requestHandler->service(request, response);
    } catch (...) {
        qCritical("HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                  static_cast<void *>(this));
        failed = true;
    }
    if (!failed && response.isHandedOver()) {
        m_socket->flush();
        m_parser.reset();
        m_pending.clear();
        m_timer->stop();
        m_handOverTo = response.handOverReceiver();
        m_adopt = response.adopter();
        QMetaObject::invokeMethod(this, &HttpConnectionHandler::handOver, Qt::QueuedConnection);
        return;
    }
    if (failed && !response.headersSent()) {
        response.setStatus(500, "Internal Server Error");
        response.setHeader("Connection", QByteArray("close"));
        response.write("500 Internal Server Error", true);
    }
    if (!response.hasSentLastPart())
        response.write(QByteArray(), true);
    // Out now rather than on the next turn of the event loop.
    m_socket->flush();
    qCDebug(lcHttp, "HttpConnectionHandler (%p): finished request", static_cast<void *>(this));
    m_parser.reset();

    const bool close = failed || isClose(response.header("Connection"))
        || (!response.hasHeader("Content-Length") && !response.isChunked());
    if (close)
        closeConnection();
    else
        armTimeout();
}

void HttpConnectionHandler::closeConnection()
{
    // The peer should read our last answer before the socket goes: closing
    // with its unread bytes in our buffer would reset the connection and could
    // destroy the answer in flight. So: half-close once the answer is out,
    // discard what still arrives, finish when the peer closes, or abort after
    // readTimeout.
    m_closing = true;
    m_parser.reset();
    m_pending.clear();
    armTimeout();
    if (m_ssl)
        m_socket->disconnectFromHost();
    else
        halfCloseWhenFlushed();
}

void HttpConnectionHandler::halfCloseWhenFlushed()
{
    if (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesToWrite() == 0)
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
}

void HttpConnectionHandler::bytesWritten()
{
    if (m_closing) {
        if (!m_ssl)
            halfCloseWhenFlushed();
    } else if (m_paused && m_socket->bytesToWrite() <= MaxUnsentBytes) {
        m_paused = false;
        read();
    }
}

void HttpConnectionHandler::readTimeout()
{
    if (!m_closing)
        qCDebug(lcHttp, "HttpConnectionHandler (%p): read timeout occured", static_cast<void *>(this));
    m_socket->flush();
    m_socket->abort();
    m_parser.reset();
}

void HttpConnectionHandler::disconnected()
{
    qCDebug(lcHttp, "HttpConnectionHandler (%p): disconnected", static_cast<void *>(this));
    m_socket->close();
    reset();
    m_busy = false;
}
