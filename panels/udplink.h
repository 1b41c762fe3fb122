#pragma once
// The datagram link of the network panel models: one bound QUdpSocket and the
// panel's address to send to.

#include "panels/panellink.h"

#include <QHostAddress>
#include <QUdpSocket>

class UdpLink : public PanelLink
{
    Q_OBJECT
public:
    explicit UdpLink(QObject *parent = nullptr);

    void setLocal(const QHostAddress &address, quint16 port);
    void setPeer(const QHostAddress &address, quint16 port);
    // Exclusive: the port is not shared with any other socket, so a second
    // user fails to bind instead of silently receiving half the datagrams.
    void setExclusive(bool on) { m_bExclusive = on; }
    quint16 localPort() const { return m_pUdpSocket->localPort(); }

    bool open() override;
    void close() override;
    bool isOpen() const override;
    bool write(const QByteArray &bytes) override;
    QByteArray readAll() override;
    bool readDatagram(QByteArray *datagram) override;
    // A datagram to another destination than the peer (a broadcast).
    bool writeTo(const QByteArray &bytes, const QHostAddress &address, quint16 port);
    bool isDatagram() const override { return true; }
    QString errorText() const override { return m_pUdpSocket->errorString(); }
    QString description() const override;

    QUdpSocket *m_pUdpSocket;

private:
    QHostAddress m_localAddress = QHostAddress(QHostAddress::AnyIPv4);
    quint16 m_nLocalPort = 0;
    QHostAddress m_peerAddress;
    quint16 m_nPeerPort = 0;
    bool m_bExclusive = false;
};
