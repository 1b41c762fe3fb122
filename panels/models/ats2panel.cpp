#include "panels/models/ats2panel.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QThread>
#include <QUdpSocket>

namespace {
// Commands waiting for the panel; more means the panel is far behind.
const int kMaxOutgoing = 256;
// The first send and three repeats.
const int kMaxSends = 4;
}

// One bound local port, shared by every panel of one thread that uses it:
// incoming packets go to the panel whose id they carry.
class Ats2Socket : public QObject
{
public:
    static Ats2Socket *acquire(Ats2Panel *panel, quint8 id, const QHostAddress &local, quint16 port,
                               QString *error);
    void release(quint8 id);
    void send(const QByteArray &datagram, const QHostAddress &to, quint16 port);
    quint16 localPort() const { return m_socket.localPort(); }

private:
    explicit Ats2Socket(const QString &key) : m_key(key)
    {
        connect(&m_socket, &QUdpSocket::readyRead, this, &Ats2Socket::onReadyRead);
    }
    void onReadyRead();
    void logDropped(const QString &why, const QHostAddress &from);

    // The registry of bound ports, guarded by s_registryLock (acquire and
    // release take it). A socket and its m_panels belong to one thread.
    static QMutex s_registryLock;
    static QHash<QString, Ats2Socket *> s_registry;

    QString m_key;
    QUdpSocket m_socket;
    QHash<quint8, Ats2Panel *> m_panels;
    bool m_bDispatching = false;
    QElapsedTimer m_lastLog;
    int m_nSuppressed = 0;
};

QMutex Ats2Socket::s_registryLock;
QHash<QString, Ats2Socket *> Ats2Socket::s_registry;

Ats2Socket *Ats2Socket::acquire(Ats2Panel *panel, quint8 id, const QHostAddress &local, quint16 port,
                                QString *error)
{
    QMutexLocker lock(&s_registryLock);
    // Port 0 asks for a port of its own, never a shared one.
    const QString key = port == 0 ? QString()
        : QStringLiteral("%1|%2|%3").arg(quintptr(QThread::currentThread())).arg(local.toString()).arg(port);
    Ats2Socket *s = key.isEmpty() ? nullptr : s_registry.value(key);
    if (!s) {
        s = new Ats2Socket(key);
        if (!s->m_socket.bind(local, port)) {
            *error = QStringLiteral("cannot bind %1:%2: %3").arg(local.toString()).arg(port)
                         .arg(s->m_socket.errorString());
            delete s;
            return nullptr;
        }
        if (!key.isEmpty())
            s_registry.insert(key, s);
    }
    if (s->m_panels.contains(id)) {
        *error = QStringLiteral("panel id %1 is already served on port %2").arg(id).arg(port);
        return nullptr;
    }
    s->m_panels.insert(id, panel);
    return s;
}

void Ats2Socket::release(quint8 id)
{
    QMutexLocker lock(&s_registryLock);
    m_panels.remove(id);
    if (!m_panels.isEmpty())
        return;
    if (!m_key.isEmpty())
        s_registry.remove(m_key);
    // The port is free at once, so a panel set up again can bind it again.
    m_socket.close();
    if (m_bDispatching)
        deleteLater();
    else
        delete this;
}

void Ats2Socket::send(const QByteArray &datagram, const QHostAddress &to, quint16 port)
{
    if (m_socket.writeDatagram(datagram, to, port) != datagram.size())
        qWarning() << "Ats2Panel: sending to" << to.toString() << port << "failed:" << m_socket.errorString();
}

void Ats2Socket::logDropped(const QString &why, const QHostAddress &from)
{
    // A flood of bad datagrams gives one line a second, not one line each.
    if (m_lastLog.isValid() && m_lastLog.elapsed() < 1000) {
        ++m_nSuppressed;
        return;
    }
    qWarning().noquote() << QStringLiteral("Ats2Panel: datagram from %1 on port %2 dropped: %3%4")
                                .arg(from.toString()).arg(m_socket.localPort()).arg(why)
                                .arg(m_nSuppressed ? QStringLiteral(" (%1 more since the last line)").arg(m_nSuppressed)
                                                   : QString());
    m_nSuppressed = 0;
    m_lastLog.start();
}

void Ats2Socket::onReadyRead()
{
    m_bDispatching = true;
    while (m_socket.state() == QAbstractSocket::BoundState && m_socket.hasPendingDatagrams()) {
        // One byte more than the longest packet shows an oversized datagram.
        const QNetworkDatagram dg = m_socket.receiveDatagram(Ats2Wire::MaxDatagram + 1);
        if (!dg.isValid())
            break;
        const Ats2Wire::Decoded d = Ats2Wire::decode(dg.data());
        if (d.status != Ats2Wire::Complete) {
            logDropped(d.error, dg.senderAddress());
            continue;
        }
        Ats2Panel *panel = m_panels.value(d.packet.nPanelId);
        if (!panel) {
            logDropped(QStringLiteral("no panel %1 here").arg(d.packet.nPanelId), dg.senderAddress());
            continue;
        }
        if (!dg.senderAddress().isEqual(panel->m_panelAddress, QHostAddress::TolerantConversion)) {
            logDropped(QStringLiteral("panel %1 is at %2").arg(d.packet.nPanelId)
                           .arg(panel->m_panelAddress.toString()), dg.senderAddress());
            continue;
        }
        panel->handleDatagram(d.packet);
    }
    m_bDispatching = false;
}

Ats2Panel::Ats2Panel(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<SPanel2ATSData>("SPanel2ATSData");
    m_nSequence = quint16(QRandomGenerator::global()->generate());
    m_keepAlive.setInterval(10000);
    m_retry.setInterval(1000);
    m_retry.setSingleShot(true);
    connect(&m_keepAlive, &QTimer::timeout, this, &Ats2Panel::onKeepAlive);
    connect(&m_retry, &QTimer::timeout, this, &Ats2Panel::onRetry);
}

Ats2Panel::~Ats2Panel()
{
    releaseSocket();
}

void Ats2Panel::setTimings(int keepAliveMs, int lossMs, int retryMs)
{
    m_keepAlive.setInterval(keepAliveMs);
    m_nLossMs = lossMs;
    m_retry.setInterval(retryMs);
}

quint16 Ats2Panel::localPort() const
{
    return m_pSocket ? m_pSocket->localPort() : 0;
}

void Ats2Panel::releaseSocket()
{
    m_bLinkSet.store(false);
    m_keepAlive.stop();
    m_retry.stop();
    m_outgoing.clear();
    if (m_pSocket)
        m_pSocket->release(m_nPanelId);
    m_pSocket = nullptr;
    m_state = Unset;
}

bool Ats2Panel::setPanelId(unsigned char panelId, const QString &localAddress, const QString &panelAddress,
                           unsigned short localPort, unsigned short panelPort)
{
    releaseSocket();
    const QHostAddress panel(panelAddress.trimmed());
    const QHostAddress local = localAddress.trimmed().isEmpty() ? QHostAddress(QHostAddress::AnyIPv4)
                                                                 : QHostAddress(localAddress.trimmed());
    if (panel.isNull() || local.isNull()) {
        qWarning() << "Ats2Panel: panel" << panelId << ": address" << panelAddress << "or local address"
                   << localAddress << "is not an IP address";
        return false;
    }
    QString error;
    m_pSocket = Ats2Socket::acquire(this, panelId, local, localPort, &error);
    if (!m_pSocket) {
        qWarning().noquote() << QStringLiteral("Ats2Panel: panel %1: %2").arg(panelId).arg(error);
        return false;
    }
    m_nPanelId = panelId;
    m_panelAddress = panel;
    m_nPanelPort = panelPort;
    m_state = Unknown;
    m_bDelivered = false;
    m_bLinkSet.store(true);
    m_keepAlive.start();
    onKeepAlive();
    return true;
}

bool Ats2Panel::sendEventData(const SPanel2ATSData &data)
{
    if (!m_bLinkSet.load())
        return false;
    QString why;
    if (!Ats2Wire::recordFits(data, &why)) {
        qWarning().noquote() << QStringLiteral("Ats2Panel: record 0x%1 not sent: %2")
                                    .arg(data.nCode, 2, 16, QLatin1Char('0')).arg(why);
        return false;
    }
    if (QThread::currentThread() == thread())
        queueRecord(data);
    else
        QMetaObject::invokeMethod(this, [this, data] { queueRecord(data); }, Qt::QueuedConnection);
    return true;
}

bool Ats2Panel::recvPanelData(const SPanel2ATSData &data)
{
    emit recvDataEvent(data);
    return true;
}

void Ats2Panel::send(quint8 kind, quint16 sequence, const SPanel2ATSData &record)
{
    if (m_pSocket)
        m_pSocket->send(Ats2Wire::encode(kind, m_nPanelId, sequence, record), m_panelAddress, m_nPanelPort);
}

void Ats2Panel::queueRecord(const SPanel2ATSData &data)
{
    if (!m_bLinkSet.load())
        return;
    if (m_outgoing.size() >= kMaxOutgoing) {
        if (!m_bQueueFullLogged)
            qWarning() << "Ats2Panel: panel" << m_nPanelId << "has" << kMaxOutgoing
                       << "records waiting; dropping new ones such as code" << Qt::hex << int(data.nCode);
        m_bQueueFullLogged = true;
        return;
    }
    m_bQueueFullLogged = false;
    m_outgoing.append({++m_nSequence, data, 0});
    if (m_outgoing.size() == 1)
        sendHead();
}

void Ats2Panel::sendHead()
{
    if (m_outgoing.isEmpty())
        return;
    Outgoing &head = m_outgoing.first();
    ++head.attempts;
    send(Ats2Wire::Record, head.sequence, head.record);
    m_retry.start();
}

void Ats2Panel::onRetry()
{
    if (m_outgoing.isEmpty())
        return;
    if (m_outgoing.first().attempts >= kMaxSends) {
        qWarning().noquote() << QStringLiteral("Ats2Panel: panel %1 did not acknowledge record 0x%2 after %3 sends; dropped")
                                    .arg(m_nPanelId).arg(m_outgoing.first().record.nCode, 2, 16, QLatin1Char('0'))
                                    .arg(kMaxSends);
        m_outgoing.removeFirst();
    }
    sendHead();
}

void Ats2Panel::onKeepAlive()
{
    send(Ats2Wire::KeepAlive, ++m_nSequence);
    if (m_state == Up && m_heard.elapsed() > m_nLossMs) {
        m_state = Lost;
        qWarning() << "Ats2Panel: panel" << m_nPanelId << "at" << m_panelAddress.toString()
                   << "silent for" << m_heard.elapsed() << "ms";
        SPanel2ATSData lost;
        lost.nCode = Ats2Wire::LinkLostCode;
        recvPanelData(lost);
    }
}

void Ats2Panel::handleDatagram(const SATSPacket &packet)
{
    m_heard.start();
    if (m_state != Up) {
        m_state = Up;
        SPanel2ATSData up;
        up.nCode = Ats2Wire::LinkUpCode;
        recvPanelData(up);
    }
    emit recvRowData(&packet);
    switch (packet.nKind) {
    case Ats2Wire::Record:
        send(Ats2Wire::Ack, packet.nSequence);
        if (m_bDelivered && packet.nSequence == m_nLastDelivered)
            return; // a repeat whose acknowledgement was lost
        m_bDelivered = true;
        m_nLastDelivered = packet.nSequence;
        recvPanelData(packet.record);
        break;
    case Ats2Wire::Ack:
        if (!m_outgoing.isEmpty() && m_outgoing.first().sequence == packet.nSequence) {
            m_retry.stop();
            m_outgoing.removeFirst();
            sendHead();
        }
        break;
    case Ats2Wire::KeepAlive:
        send(Ats2Wire::KeepAliveAnswer, packet.nSequence);
        break;
    default:
        break;
    }
}
