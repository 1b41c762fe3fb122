#include "panels/udplink.h"

#include <QDebug>

namespace {
// Larger datagrams are not panel frames; they are read and dropped.
const qint64 kMaxDatagram = 64 * 1024;
}

UdpLink::UdpLink(QObject *parent) : PanelLink(parent), m_pUdpSocket(new QUdpSocket(this))
{
    connect(m_pUdpSocket, &QUdpSocket::readyRead, this, &PanelLink::readyRead);
}

void UdpLink::setLocal(const QHostAddress &address, quint16 port)
{
    m_localAddress = address;
    m_nLocalPort = port;
}

void UdpLink::setPeer(const QHostAddress &address, quint16 port)
{
    m_peerAddress = address;
    m_nPeerPort = port;
}

bool UdpLink::open()
{
    if (m_pUdpSocket->state() == QAbstractSocket::BoundState)
        return true;
    return m_pUdpSocket->bind(m_localAddress, m_nLocalPort,
                              m_bExclusive ? QUdpSocket::DontShareAddress
                                           : QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
}

void UdpLink::close()
{
    m_pUdpSocket->close();
}

bool UdpLink::isOpen() const
{
    return m_pUdpSocket->state() == QAbstractSocket::BoundState;
}

bool UdpLink::write(const QByteArray &bytes)
{
    if (m_peerAddress.isNull() || m_nPeerPort == 0)
        return false;
    return writeTo(bytes, m_peerAddress, m_nPeerPort);
}

bool UdpLink::writeTo(const QByteArray &bytes, const QHostAddress &address, quint16 port)
{
    return m_pUdpSocket->writeDatagram(bytes, address, port) == bytes.size();
}

QByteArray UdpLink::readAll()
{
    QByteArray all;
    QByteArray datagram;
    while (readDatagram(&datagram))
        all.append(datagram);
    return all;
}

bool UdpLink::readDatagram(QByteArray *datagram)
{
    while (m_pUdpSocket->hasPendingDatagrams()) {
        const qint64 size = m_pUdpSocket->pendingDatagramSize();
        if (size < 0 || size > kMaxDatagram) {
            qWarning() << "UdpLink" << description() << ": datagram of" << size << "bytes dropped";
            m_pUdpSocket->readDatagram(nullptr, 0);
            continue;
        }
        QByteArray d(int(size), Qt::Uninitialized);
        const qint64 n = m_pUdpSocket->readDatagram(d.data(), size);
        if (n < 0)
            continue;
        d.truncate(int(n));
        *datagram = d;
        return true;
    }
    return false;
}

QString UdpLink::description() const
{
    return QStringLiteral("%1:%2").arg(m_localAddress.toString()).arg(m_nLocalPort);
}
