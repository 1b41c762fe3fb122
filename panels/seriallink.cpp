#include "panels/seriallink.h"

#include <QDebug>
#include <QFileInfo>

namespace {
// What the port may hold for us before we read it; at panel speeds this is
// never reached unless nobody reads.
const qint64 kPortReadBuffer = 64 * 1024;
// Bound of one drain; 2400 baud moves a whole frame in well under this.
const int kDrainMs = 1000;
}

SerialLink::SerialLink(QObject *parent)
    : PanelLink(parent), m_pSerialPort(new QSerialPort(this))
{
    connect(m_pSerialPort, &QSerialPort::readyRead, this, &PanelLink::readyRead);
    connect(m_pSerialPort, &QSerialPort::errorOccurred, this, &SerialLink::onError);
}

SerialLink::~SerialLink()
{
    if (m_pSerialPort->isOpen())
        m_pSerialPort->close();
}

void SerialLink::setSerialSettings(const QString &devicePath, int baudRate, QSerialPort::Parity parity)
{
    m_strPath = devicePath;
    m_nBaudRate = baudRate;
    m_parity = parity;
}

bool SerialLink::open()
{
    m_pSerialPort->setPortName(m_strPath);
    if (m_pSerialPort->isOpen())
        m_pSerialPort->close();
    if (!m_pSerialPort->open(QIODevice::ReadWrite))
        return false;
    m_pSerialPort->setBaudRate(m_nBaudRate, QSerialPort::AllDirections);
    m_pSerialPort->setParity(m_parity);
    m_pSerialPort->setDataBits(QSerialPort::Data8);
    m_pSerialPort->setStopBits(QSerialPort::OneStop);
    m_pSerialPort->setFlowControl(QSerialPort::NoFlowControl);
    m_pSerialPort->setReadBufferSize(kPortReadBuffer);
    m_pSerialPort->clear(QSerialPort::AllDirections);
    return true;
}

void SerialLink::close()
{
    if (m_pSerialPort->isOpen())
        m_pSerialPort->close();
}

bool SerialLink::isOpen() const
{
    return m_pSerialPort->isOpen();
}

bool SerialLink::write(const QByteArray &bytes)
{
    if (!m_pSerialPort->isOpen())
        return false;
    if (m_pSerialPort->write(bytes) != bytes.size())
        return false;
    // Drain into the device now: a later clear must not drop our own bytes.
    while (m_pSerialPort->bytesToWrite() > 0) {
        if (!m_pSerialPort->waitForBytesWritten(kDrainMs))
            return false;
    }
    return true;
}

QByteArray SerialLink::readAll()
{
    return m_pSerialPort->readAll();
}

void SerialLink::clear()
{
    // Only the input side: everything we wrote has been drained to the
    // device, and flushing the output would cut a frame still leaving the UART.
    if (m_pSerialPort->isOpen())
        m_pSerialPort->clear(QSerialPort::Input);
}

bool SerialLink::setParity(QSerialPort::Parity parity)
{
    m_parity = parity;
    if (!m_pSerialPort->isOpen())
        return false;
    if (m_pSerialPort->parity() == parity)
        return true;
    return m_pSerialPort->setParity(parity);
}

bool SerialLink::setDataTerminalReady(bool on)
{
    return m_pSerialPort->isOpen() && m_pSerialPort->setDataTerminalReady(on);
}

bool SerialLink::deviceGone() const
{
    return !m_strPath.isEmpty() && !QFileInfo::exists(m_strPath);
}

QString SerialLink::errorText() const
{
    return QStringLiteral("SerialPortError %1: %2")
        .arg(int(m_pSerialPort->error()))
        .arg(m_pSerialPort->errorString());
}

void SerialLink::onError(QSerialPort::SerialPortError error)
{
    // A resource error is the port telling us its device is gone; the owner
    // closes us and tries the path again later.
    if (error == QSerialPort::ResourceError && m_pSerialPort->isOpen())
        emit deviceLost();
}
