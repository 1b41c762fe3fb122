#include "web/eventstream.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QHostAddress>
#include <QTcpSocket>

namespace {
constexpr int KeepAliveMs = 20000;
const QByteArray kReload = "event: reload\ndata: {}\n\n";
const QByteArray kBusy = "event: busy\ndata: {}\n\n";
} // namespace

EventStream::EventStream(int ringSize, int maxStreams, QObject *parent)
    : QObject(parent), m_ringSize(qMax(1, ringSize)), m_maxStreams(maxStreams),
      m_nextSeq(QDateTime::currentMSecsSinceEpoch() * 1000)
{
    m_keepAlive.setInterval(KeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &EventStream::keepAlive);
}

EventStream::~EventStream()
{
    closeAll();
}

QByteArray EventStream::frame(const Entry &e)
{
    return "id: " + QByteArray::number(e.seq) + "\ndata: " + e.json + "\n\n";
}

qint64 EventStream::publish(QJsonObject event)
{
    Entry e;
    e.seq = m_nextSeq++;
    event.insert(QStringLiteral("seq"), double(e.seq));
    e.json = QJsonDocument(event).toJson(QJsonDocument::Compact);
    e.event = std::move(event);
    m_ring.push_back(e);
    while (int(m_ring.size()) > m_ringSize)
        m_ring.pop_front();
    if (!m_streams.isEmpty()) {
        // Encoded once for every stream.
        const QByteArray bytes = frame(e);
        const QList<QTcpSocket *> sockets = m_streams.keys();
        for (QTcpSocket *s : sockets)
            send(s, bytes);
    }
    return e.seq;
}

QList<EventStream::Entry> EventStream::recent(int n) const
{
    QList<Entry> out;
    for (auto it = m_ring.rbegin(); it != m_ring.rend() && out.size() < n; ++it)
        out.append(*it);
    return out;
}

bool EventStream::since(qint64 seq, QList<Entry> *out) const
{
    if (seq > lastSeq())
        return false; // not of this run
    const qint64 oldest = m_ring.empty() ? m_nextSeq : m_ring.front().seq;
    if (seq < oldest - 1)
        return false;
    for (const Entry &e : m_ring) {
        if (e.seq > seq)
            out->append(e);
    }
    return true;
}

void EventStream::adopt(QTcpSocket *socket, qint64 lastSeq, const QByteArray &session)
{
    socket->setParent(this);
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    if (!hasRoom()) {
        // Another stream took the last place since this one was granted.
        socket->write(kBusy);
        socket->disconnectFromHost();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        return;
    }
    m_streams.insert(socket, session);
    emit streamStarted(session);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket, nullptr); });
    // A stream only speaks; what the browser still sends is not read.
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QByteArray bytes = "retry: 2000\n\n";
    if (lastSeq > 0) {
        QList<Entry> missed;
        if (since(lastSeq, &missed)) {
            for (const Entry &e : qAsConst(missed))
                bytes += frame(e);
        } else {
            bytes += kReload;
        }
    }
    send(socket, bytes);
    if (!m_keepAlive.isActive())
        m_keepAlive.start();
}

void EventStream::send(QTcpSocket *socket, const QByteArray &bytes)
{
    if (socket->bytesToWrite() > MaxUnsentBytes) {
        drop(socket, "its reader fell behind");
        return;
    }
    socket->write(bytes);
    // Out now, not on the next turn of the loop: an alarm should not wait.
    socket->flush();
}

void EventStream::drop(QTcpSocket *socket, const char *why)
{
    const auto it = m_streams.find(socket);
    if (it == m_streams.end())
        return;
    const QByteArray session = it.value();
    m_streams.erase(it);
    if (why)
        qWarning().noquote() << QStringLiteral("web: event stream to %1 closed: %2")
                                    .arg(socket->peerAddress().toString(), QLatin1String(why));
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (m_streams.isEmpty())
        m_keepAlive.stop();
    emit streamEnded(session);
}

void EventStream::closeSession(const QByteArray &session)
{
    const QList<QTcpSocket *> sockets = m_streams.keys(session);
    for (QTcpSocket *s : sockets)
        drop(s, nullptr);
}

void EventStream::closeAll()
{
    const QList<QTcpSocket *> sockets = m_streams.keys();
    for (QTcpSocket *s : sockets)
        drop(s, nullptr);
}

void EventStream::keepAlive()
{
    const QList<QTcpSocket *> sockets = m_streams.keys();
    for (QTcpSocket *s : sockets)
        send(s, ": keep-alive\n\n");
}
