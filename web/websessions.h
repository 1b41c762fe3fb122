#pragma once
// The web console's logins: a random session token (the cookie) and a
// CSRF token per login, expiring after an idle time. A page with a live
// event stream counts as present, so a duty screen that only watches is not
// logged out under its operators; the idle time runs again once its stream
// ends. Main thread.

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class WebSessions
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    struct Session
    {
        QByteArray token;
        QByteArray csrf;
        QString user;
        qint64 lastSeenMs = 0;
        int streams = 0;
    };

    WebSessions(int idleMs, int maxSessions);
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // A new session for user. When maxSessions are live, the one longest
    // idle without a stream makes room; null when every one holds a stream.
    const Session *create(const QString &user);
    // The live session of token with its idle time renewed; null when there
    // is none or it expired (then it is removed).
    Session *find(const QByteArray &token);
    void remove(const QByteArray &token);
    void streamOpened(const QByteArray &token);
    void streamClosed(const QByteArray &token);
    int count() const { return m_sessions.size(); }

    // Compares a token in time independent of where it differs.
    static bool sameToken(const QByteArray &a, const QByteArray &b);

private:
    bool expired(const Session &s, qint64 now) const;
    void dropExpired(qint64 now);
    static QByteArray randomToken();

    const int m_idleMs;
    const int m_maxSessions;
    Clock m_clock;
    QHash<QByteArray, Session> m_sessions;
};
