#include "gateways/cmodbusdevice.h"

#include "config/configtables.h"
#include "core/safejson.h"
#include "gateways/modbusstream.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QUdpSocket>

CModbusDevice::CModbusDevice(quint16 port, QObject *parent)
    : QObject(parent), m_socket(new QUdpSocket(this))
{
    if (!m_socket->bind(QHostAddress::Any, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qDebug().noquote() << "CUdpSocket:UDP Socket ModbusDevice bind fail" << port << m_socket->errorString();
        return;
    }
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, SocketReceiveBufferBytes);
    connect(m_socket, &QUdpSocket::readyRead, this, &CModbusDevice::dataReceived);
    qDebug() << "Modbus receiver on UDP port" << m_socket->localPort() << "receive buffer"
             << m_socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() << "bytes";
}

bool CModbusDevice::isBound() const
{
    return m_socket->state() == QAbstractSocket::BoundState;
}

quint16 CModbusDevice::localPort() const
{
    return m_socket->localPort();
}

void CModbusDevice::dataReceived()
{
    for (int taken = 0; taken < MaxDatagramsPerPass && m_socket->hasPendingDatagrams(); ++taken) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        m_buffer.append(datagram.data());
        // Consumed bytes are cut off once per datagram: a datagram packed with
        // tiny objects must not cost one move of the buffer per object.
        int pos = 0;
        for (;;) {
            const QByteArray rest = QByteArray::fromRawData(m_buffer.constData() + pos, m_buffer.size() - pos);
            const ModbusStream::Result r = ModbusStream::next(rest);
            pos += r.consumed;
            if (r.status == ModbusStream::Invalid) {
                m_bytesDropped += quint64(r.consumed);
                if (!m_overCap) {
                    m_overCap = true;
                    qWarning().noquote() << QStringLiteral("Modbus receiver: an object from %1 stayed open past %2 bytes; "
                                                           "%3 buffered bytes dropped")
                                                .arg(datagram.senderAddress().toString())
                                                .arg(ModbusStream::DefaultCap).arg(r.consumed);
                }
            }
            if (r.status != ModbusStream::Complete)
                break;
            m_overCap = false;
            handleMessage(r.message);
        }
        m_buffer.remove(0, pos);
    }
}

void CModbusDevice::handleMessage(const QByteArray &message)
{
    ++m_received;
    CEvent event;
    QString why;
    if (!convert(message, &event, &why)) {
        ++m_rejected;
        logRejected(why, message);
        return;
    }
    emit sendEvent(event);
}

bool CModbusDevice::convert(const QByteArray &message, CEvent *event, QString *reason)
{
    QString error;
    const QJsonDocument doc = SafeJson::parse(message, &error);
    if (!doc.isObject()) {
        if (reason)
            *reason = !error.isEmpty() ? QStringLiteral("not JSON (%1)").arg(error) : QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject object = doc.object();
    if (!object.contains(QLatin1String("msg"))) {
        if (reason)
            *reason = QStringLiteral("no \"msg\"");
        return false;
    }
    const int type = object.value(QLatin1String("type")).toInt(0);
    const QString msg = object.value(QLatin1String("msg")).toString();
    if (msg.size() <= 10) {
        if (reason)
            *reason = QStringLiteral("\"msg\" of %1 characters, more than 10 needed").arg(msg.size());
        return false;
    }

    // Characters 7 to 9 of the device text are its address.
    int address = 0;
    for (int i = 6; i < 9; ++i) {
        const QChar c = msg.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            address = 0;
            break;
        }
        address = address * 10 + (c.unicode() - '0');
    }

    CEvent e;
    switch (type) {
    case 0: e.nEventCode = 2; e.nEventProperty = 1; break;
    case 1: e.nEventCode = 2003; e.nEventProperty = 0; break;
    case 2: e.nEventCode = 3; e.nEventProperty = 1; break;
    case 3: e.nEventCode = 913; e.nEventProperty = 0; break;
    default: e.nEventCode = 913; e.nEventProperty = 1; break;
    }
    e.nCom = 0;
    e.nPanelID = 1;
    e.nPanelType = 32;
    e.nLoop = 1;
    e.nDevType = 69;
    e.nAddress = address;
    ConfigTables::instance().complete(e);
    e.strCode = msg;
    e.strTime = nowText();
    *event = e;
    return true;
}

void CModbusDevice::logRejected(const QString &why, const QByteArray &message)
{
    if (m_lastRejectLog.isValid() && m_lastRejectLog.elapsed() < 1000) {
        ++m_unloggedRejects;
        return;
    }
    QString more;
    if (m_unloggedRejects > 0)
        more = QStringLiteral(" (%1 more rejected since the last such line)").arg(m_unloggedRejects);
    qWarning().noquote() << QStringLiteral("Modbus receiver: message discarded, %1: %2%3")
                                .arg(why, QString::fromUtf8(message.left(200)), more);
    m_unloggedRejects = 0;
    m_lastRejectLog.start();
}
