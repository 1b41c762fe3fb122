#include "web/websessions.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QRandomGenerator>

#include <limits>

WebSessions::WebSessions(int idleMs, int maxSessions)
    : m_idleMs(idleMs), m_maxSessions(maxSessions), m_clock([] { return QDeadlineTimer::current().deadline(); })
{
}

QByteArray WebSessions::randomToken()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

bool WebSessions::sameToken(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size() || a.isEmpty())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool WebSessions::expired(const Session &s, qint64 now) const
{
    return s.streams == 0 && now - s.lastSeenMs > m_idleMs;
}

void WebSessions::dropExpired(qint64 now)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (expired(*it, now)) {
            qDebug().noquote() << QStringLiteral("web: session of %1 expired after %2 s idle")
                                      .arg(it->user).arg((now - it->lastSeenMs) / 1000);
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

const WebSessions::Session *WebSessions::create(const QString &user)
{
    const qint64 now = m_clock();
    dropExpired(now);
    if (m_sessions.size() >= m_maxSessions) {
        auto oldest = m_sessions.end();
        qint64 oldestSeen = std::numeric_limits<qint64>::max();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->streams == 0 && it->lastSeenMs < oldestSeen) {
                oldestSeen = it->lastSeenMs;
                oldest = it;
            }
        }
        if (oldest == m_sessions.end())
            return nullptr;
        qDebug().noquote() << QStringLiteral("web: session of %1 ended to make room for a login of %2")
                                  .arg(oldest->user, user);
        m_sessions.erase(oldest);
    }
    Session s;
    s.token = randomToken();
    s.csrf = randomToken();
    s.user = user;
    s.lastSeenMs = now;
    return &*m_sessions.insert(s.token, s);
}

WebSessions::Session *WebSessions::find(const QByteArray &token)
{
    auto it = m_sessions.find(token);
    if (it == m_sessions.end())
        return nullptr;
    const qint64 now = m_clock();
    if (expired(*it, now)) {
        qDebug().noquote() << QStringLiteral("web: session of %1 expired").arg(it->user);
        m_sessions.erase(it);
        return nullptr;
    }
    it->lastSeenMs = now;
    return &*it;
}

void WebSessions::remove(const QByteArray &token)
{
    m_sessions.remove(token);
}

void WebSessions::streamOpened(const QByteArray &token)
{
    auto it = m_sessions.find(token);
    if (it != m_sessions.end())
        ++it->streams;
}

void WebSessions::streamClosed(const QByteArray &token)
{
    auto it = m_sessions.find(token);
    if (it != m_sessions.end() && it->streams > 0) {
        --it->streams;
        it->lastSeenMs = m_clock();
    }
}
