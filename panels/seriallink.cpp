#include "panels/seriallink.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <unistd.h>

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
    m_encodedPath = QFile::encodeName(devicePath);
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
    // Straight to the device when nothing of ours waits in the port's
    // buffer: a poll frame of a byte or two always fits. Through
    // QSerialPort::write every frame switched its write notifier on and off,
    // and with the glib event loop each switch wakes the thread once more:
    // that was most of the cost of an idle poll cycle.
    qint64 done = 0;
    if (m_pSerialPort->bytesToWrite() == 0) {
        const int fd = int(m_pSerialPort->handle());
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break; // full (EAGAIN) or failing: the port's own path takes the rest and reports
        }
    }
    if (done == bytes.size())
        return true;
    const QByteArray rest = bytes.mid(int(done));
    if (m_pSerialPort->write(rest) != rest.size())
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
    // What the port has buffered: readAll() allocates and reallocates
    // blocks of 16 kB for the byte or two of a poll answer. The one byte
    // more makes the port look past its buffer, as readAll() does, which
    // switches its read notifications back on after a full buffer.
    return m_pSerialPort->read(m_pSerialPort->bytesAvailable() + 1);
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
    // Asked before every poll: a plain access() on the path encoded once,
    // not a QFileInfo that converts the name through the locale's codec.
    return !m_encodedPath.isEmpty() && ::access(m_encodedPath.constData(), F_OK) != 0;
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
