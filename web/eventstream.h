#pragma once
// The web console's live events: every delivered event gets a sequence
// number and is kept in a bounded ring, and goes to every open stream of
// server-sent events with that number as its "id:". A browser that comes
// back with Last-Event-ID gets what it missed from the ring, or a "reload"
// when the ring no longer reaches back that far (it then fetches the
// snapshot again). Sequence numbers start from the clock at start-up, so a
// number from an earlier run of the server is never taken for one of this
// run. Main thread.

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

#include <deque>

class QTcpSocket;

class EventStream : public QObject
{
    Q_OBJECT
public:
    struct Entry
    {
        qint64 seq = 0;
        QJsonObject event; // with its "seq"
        QByteArray json;   // the same, encoded once
    };
    // A stream that falls this far behind its reader is closed; the browser
    // reconnects and resumes from the ring.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;

    EventStream(int ringSize, int maxStreams, QObject *parent = nullptr);
    ~EventStream() override;

    // Numbers the event, keeps it and sends it to every stream.
    qint64 publish(QJsonObject event);
    qint64 lastSeq() const { return m_nextSeq - 1; }
    // The newest events first, at most n.
    QList<Entry> recent(int n) const;
    // The events after seq, oldest first; false when seq is not one the
    // ring can continue from.
    bool since(qint64 seq, QList<Entry> *out) const;

    bool hasRoom() const { return m_streams.size() < m_maxStreams; }
    int streamCount() const { return m_streams.size(); }
    // A connection whose head went out: continues from lastSeq (0: from
    // now on) and stays until the peer goes, falls behind, or its session
    // ends. Takes ownership of socket.
    void adopt(QTcpSocket *socket, qint64 lastSeq, const QByteArray &session);
    // Ends every stream of that session (logout, expiry).
    void closeSession(const QByteArray &session);
    void closeAll();
    // Sends a comment line on every stream, so that idle connections are
    // not cut by proxies and a dead peer is noticed (the timer's job).
    void keepAlive();

    static QByteArray frame(const Entry &e);

signals:
    void streamStarted(const QByteArray &session);
    void streamEnded(const QByteArray &session);

private:
    void drop(QTcpSocket *socket, const char *why);
    void send(QTcpSocket *socket, const QByteArray &bytes);

    const int m_ringSize;
    const int m_maxStreams;
    qint64 m_nextSeq;
    std::deque<Entry> m_ring;
    QHash<QTcpSocket *, QByteArray> m_streams; // socket -> session token
    QTimer m_keepAlive;
};
