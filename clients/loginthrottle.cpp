#include "clients/loginthrottle.h"

#include <QDebug>

LoginThrottle::LoginThrottle(int maxFailures, int windowMs, int blockMs)
    : m_nMaxFailures(maxFailures), m_nWindowMs(windowMs), m_nBlockMs(blockMs)
{
    setClock(nullptr);
}

void LoginThrottle::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); });
}

QString LoginThrottle::key(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

bool LoginThrottle::blocked(const QHostAddress &address)
{
    auto it = m_peers.find(key(address));
    if (it == m_peers.end())
        return false;
    const qint64 now = m_clock();
    if (it->blockedUntil > now)
        return true;
    // Forget what has left the window, so the table does not grow with every
    // address that ever mistyped a password.
    while (!it->failures.isEmpty() && it->failures.first() <= now - m_nWindowMs)
        it->failures.removeFirst();
    if (it->failures.isEmpty())
        m_peers.erase(it);
    return false;
}

void LoginThrottle::failed(const QHostAddress &address)
{
    const QString k = key(address);
    Peer &p = m_peers[k];
    const qint64 now = m_clock();
    while (!p.failures.isEmpty() && p.failures.first() <= now - m_nWindowMs)
        p.failures.removeFirst();
    p.failures.append(now);
    if (p.failures.size() >= m_nMaxFailures && p.blockedUntil <= now) {
        p.blockedUntil = now + m_nBlockMs;
        p.failures.clear();
        qWarning().noquote() << QStringLiteral("%1 failed logins from %2 within %3 s: its logins are refused unchecked for %4 s")
                                    .arg(m_nMaxFailures).arg(k).arg(m_nWindowMs / 1000).arg(m_nBlockMs / 1000);
    }
}
