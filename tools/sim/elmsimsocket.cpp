#include "tools/sim/elmsimsocket.h"

#include "tools/sim/recordpanelsim.h"

#include <QDebug>

ElmSimSocket::ElmSimSocket(RecordPanelSim &sim, QObject *parent) : SimTransport(parent), m_sim(sim)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &ElmSimSocket::onReadyRead);
    connect(&m_unsolicited, &QTimer::timeout, this, [this] { sendRaw(m_sim.unsolicited()); });
    m_unsolicited.start(m_sim.unsolicitedIntervalMs());
}

ElmSimSocket *ElmSimSocket::fromOptions(RecordPanelSim &sim, const QCommandLineParser &parser, QString *error)
{
    bool ok = true;
    const QString listenText = parser.value(QStringLiteral("listen"));
    const uint port = listenText.isEmpty() ? 9001 : listenText.toUInt(&ok);
    if (!ok || port > 65535) {
        *error = QStringLiteral("--listen must be a port number, not %1").arg(listenText);
        return nullptr;
    }
    auto *socket = new ElmSimSocket(sim);
    const QString server = parser.value(QStringLiteral("server"));
    if (!server.isEmpty()) {
        const uint serverPort = server.section(QLatin1Char(':'), 1).toUInt(&ok);
        if (!ok || serverPort == 0 || serverPort > 65535
            || !socket->setServer(QHostAddress(server.section(QLatin1Char(':'), 0, 0)), quint16(serverPort))) {
            *error = QStringLiteral("--server must be a loopback HOST:PORT, not %1").arg(server);
            delete socket;
            return nullptr;
        }
    }
    if (!socket->listen(quint16(port))) {
        *error = socket->errorText();
        delete socket;
        return nullptr;
    }
    return socket;
}

bool ElmSimSocket::listen(quint16 port)
{
    if (m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), port))
        return true;
    m_strError = QStringLiteral("cannot listen on UDP port %1: %2").arg(port).arg(m_socket.errorString());
    return false;
}

bool ElmSimSocket::setServer(const QHostAddress &address, quint16 port)
{
    if (!address.isLoopback())
        return false;
    m_server = address;
    m_nServerPort = port;
    m_bFixed = true;
    return true;
}

void ElmSimSocket::sendRaw(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        m_socket.writeDatagram(bytes, m_server, m_nServerPort);
}

void ElmSimSocket::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        QHostAddress from;
        quint16 fromPort = 0;
        QByteArray datagram(int(qMax<qint64>(m_socket.pendingDatagramSize(), 0)), Qt::Uninitialized);
        const qint64 n = m_socket.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
        if (n < 0)
            continue;
        datagram.truncate(int(n));
        const int connects = m_sim.connectFrames();
        const QByteArray reply = m_sim.feed(datagram);
        const QHostAddress announced = m_sim.announcedServer();
        if (!m_bFixed && m_sim.connectFrames() != connects) {
            if (announced.isLoopback()) {
                m_server = announced;
                m_nServerPort = fromPort;
            } else {
                qWarning() << "panel simulator: the server announces" << announced.toString()
                           << "; staying on" << m_server.toString() << "(loopback only)";
            }
        }
        const QList<PanelSim::Frame> frames = m_sim.takeFrames();
        for (const PanelSim::Frame &f : frames)
            emit frameReceived(f.text);
        sendRaw(reply);
    }
}
