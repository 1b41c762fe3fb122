#include "http/httpconnectionhandlerpool.h"

#include "http/httpconnectionhandler.h"
#include "http/httplog.h"

#include <QDebug>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QThread>

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const HttpListenerSettings &settings,
                                                     HttpRequestHandler *requestHandler, QObject *parent)
    : QObject(parent), m_settings(settings), m_requestHandler(requestHandler)
{
    loadSslConfig();
    connect(&m_cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    m_cleanupTimer.start(m_settings.cleanupInterval);
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    QMutexLocker lock(&m_mutex);
    // Each handler closes its connection in its thread, so the threads end after them.
    qDeleteAll(m_pool);
    m_pool.clear();
    for (QThread *t : qAsConst(m_threads)) {
        t->quit();
        t->wait();
    }
    qDeleteAll(m_threads);
    m_threads.clear();
    qCDebug(lcHttp, "HttpConnectionHandlerPool (%p): destroyed", static_cast<void *>(this));
}

HttpConnectionHandler *HttpConnectionHandlerPool::getConnectionHandler()
{
    QMutexLocker lock(&m_mutex);
    for (HttpConnectionHandler *h : qAsConst(m_pool)) {
        if (!h->isBusy()) {
            h->setBusy();
            return h;
        }
    }
    if (m_pool.size() >= m_settings.maxThreads)
        return nullptr;
    auto *h = new HttpConnectionHandler(m_settings, m_requestHandler, nextThread(), m_ssl.data());
    h->setBusy();
    m_pool.append(h);
    return h;
}

QThread *HttpConnectionHandlerPool::nextThread()
{
    // Twice the cores: a request handler that blocks for a moment (a
    // database query) holds up only the connections of its own thread.
    const int shared = m_settings.handlerThreads > 0 ? m_settings.handlerThreads : 2 * QThread::idealThreadCount();
    const int wanted = qBound(1, shared, qMax(1, m_settings.maxThreads));
    if (m_threads.size() < wanted) {
        auto *t = new QThread;
        t->setObjectName(QStringLiteral("HttpHandlers"));
        t->start();
        m_threads.append(t);
        qCDebug(lcHttp, "HttpConnectionHandlerPool (%p): thread %d started", static_cast<void *>(this),
                int(m_threads.size()));
        return t;
    }
    m_nextThread = (m_nextThread + 1) % m_threads.size();
    return m_threads.at(m_nextThread);
}

int HttpConnectionHandlerPool::threadCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_threads.size();
}

void HttpConnectionHandlerPool::cleanup()
{
    QMutexLocker lock(&m_mutex);
    int idle = 0;
    for (HttpConnectionHandler *h : qAsConst(m_pool)) {
        if (h->isBusy())
            continue;
        if (++idle > m_settings.minThreads) {
            m_pool.removeOne(h);
            delete h;
            qCDebug(lcHttp, "HttpConnectionHandlerPool: Removed connection handler (%p), pool size is now %li",
                   static_cast<void *>(h), long(m_pool.size()));
            break;
        }
    }
}

int HttpConnectionHandlerPool::size() const
{
    QMutexLocker lock(&m_mutex);
    return m_pool.size();
}

int HttpConnectionHandlerPool::busyCount() const
{
    QMutexLocker lock(&m_mutex);
    int n = 0;
    for (HttpConnectionHandler *h : m_pool)
        n += h->isBusy() ? 1 : 0;
    return n;
}

void HttpConnectionHandlerPool::loadSslConfig()
{
    if (m_settings.sslKeyFile.isEmpty() || m_settings.sslCertFile.isEmpty())
        return;
    if (!QSslSocket::supportsSsl()) {
        qCritical("HttpConnectionHandlerPool: SSL is not supported by this system, TLS stays off");
        return;
    }
    QFile certFile(m_settings.sslCertFile);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(m_settings.sslCertFile));
        return;
    }
    const QSslCertificate certificate(&certFile, QSsl::Pem);
    QFile keyFile(m_settings.sslKeyFile);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(m_settings.sslKeyFile));
        return;
    }
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (certificate.isNull() || key.isNull()) {
        qCritical("HttpConnectionHandlerPool: cannot read %s, TLS stays off",
                  qPrintable(certificate.isNull() ? m_settings.sslCertFile : m_settings.sslKeyFile));
        return;
    }
    m_ssl.reset(new QSslConfiguration(QSslConfiguration::defaultConfiguration()));
    m_ssl->setLocalCertificate(certificate);
    m_ssl->setPrivateKey(key);
    m_ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
    m_ssl->setProtocol(QSsl::TlsV1_2OrLater);
    qCDebug(lcHttp, "HttpConnectionHandlerPool: SSL settings loaded");
}
