#include "core/connectionlimits.h"

#include <QDebug>
#include <QTcpServer>

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

long ConnectionLimits::raiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        qWarning() << "descriptor limit unknown:" << strerror(errno);
        return -1;
    }
    if (lim.rlim_cur < lim.rlim_max) {
        const rlim_t before = lim.rlim_cur;
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) == 0) {
            qDebug() << "open descriptor limit raised from" << qulonglong(before) << "to" << qulonglong(lim.rlim_cur);
        } else {
            qWarning() << "open descriptor limit stays at" << qulonglong(before) << ":" << strerror(errno);
            lim.rlim_cur = before;
        }
    }
    return long(lim.rlim_cur);
}

ConnectionLimiter::ConnectionLimiter(const QString &name, int perAddress, int total)
    : m_name(name), m_nPerAddress(qMax(1, perAddress)), m_nTotal(qMax(1, total))
{
}

QString ConnectionLimiter::key(const QHostAddress &address)
{
    // A dual-stack listener reports IPv4 peers as ::ffff:a.b.c.d.
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

bool ConnectionLimiter::admit(const QHostAddress &address)
{
    const QString k = key(address);
    const int fromPeer = m_byAddress.value(k);
    if (m_nOpen >= m_nTotal) {
        ++m_nRefused;
        if (!m_bTotalRefusing) {
            m_bTotalRefusing = true;
            qWarning().noquote() << QStringLiteral("%1: %2 connections open, the most allowed; refusing new ones (first: %3)")
                                        .arg(m_name).arg(m_nOpen).arg(k);
        }
        return false;
    }
    if (fromPeer >= m_nPerAddress) {
        ++m_nRefused;
        if (!m_refusing.contains(k)) {
            m_refusing.insert(k);
            qWarning().noquote() << QStringLiteral("%1: %2 has %3 connections open, the most allowed per address; refusing more")
                                        .arg(m_name, k).arg(fromPeer);
        }
        return false;
    }
    m_byAddress.insert(k, fromPeer + 1);
    ++m_nOpen;
    m_refusing.remove(k);
    m_bTotalRefusing = false;
    return true;
}

void ConnectionLimiter::release(const QHostAddress &address)
{
    const QString k = key(address);
    const int fromPeer = m_byAddress.value(k);
    if (fromPeer <= 0)
        return;
    if (fromPeer == 1)
        m_byAddress.remove(k);
    else
        m_byAddress.insert(k, fromPeer - 1);
    --m_nOpen;
}

AcceptGuard::AcceptGuard(QTcpServer *server, const QString &name, int resumeMs)
    : QObject(server), m_server(server), m_name(name)
{
    m_resume.setSingleShot(true);
    m_resume.setInterval(resumeMs);
    connect(&m_resume, &QTimer::timeout, this, [this] { m_server->resumeAccepting(); });
    connect(server, &QTcpServer::acceptError, this, &AcceptGuard::onAcceptError);
    connect(server, &QTcpServer::newConnection, this, &AcceptGuard::onNewConnection);
}

void AcceptGuard::onAcceptError()
{
    if (!m_bLogged || m_sinceLog.elapsed() > 60000) {
        m_bLogged = true;
        m_sinceLog.start();
        qWarning().noquote() << QStringLiteral("%1: accepting a connection failed: %2; trying again every %3 ms")
                                    .arg(m_name, m_server->errorString()).arg(m_resume.interval());
    }
    m_resume.start();
}

void AcceptGuard::onNewConnection()
{
    if (m_bLogged) {
        m_bLogged = false;
        qDebug().noquote() << QStringLiteral("%1: accepting connections again").arg(m_name);
    }
}
