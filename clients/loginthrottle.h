#pragma once
// Slows down password guessing: after too many failed logins from one
// address within a window, further attempts from it are refused without
// checking for a while. Other addresses are not affected. Main thread.

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>

#include <functional>

class LoginThrottle
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic enough

    LoginThrottle(int maxFailures = 10, int windowMs = 60000, int blockMs = 30000);

    void setClock(Clock clock);
    // Whether attempts from address are refused right now.
    bool blocked(const QHostAddress &address);
    // Counts one failed login; the one that reaches the limit starts the
    // block (logged once).
    void failed(const QHostAddress &address);
    void clear() { m_peers.clear(); }

private:
    struct Peer
    {
        QList<qint64> failures;  // times within the window, oldest first
        qint64 blockedUntil = 0;
    };
    static QString key(const QHostAddress &address);

    int m_nMaxFailures;
    int m_nWindowMs;
    int m_nBlockMs;
    Clock m_clock;
    QHash<QString, Peer> m_peers;
};
