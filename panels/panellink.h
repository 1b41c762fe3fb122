#pragma once
// The byte pipe under a panel driver: a real serial port, a UDP socket, or an
// in-process fake for tests. A driver talks to its panel only through this
// seam, so protocol code never touches QSerialPort or QUdpSocket directly.
//
// A link object is used only from the thread it lives in: the driver opens it
// in the main thread, moves it into its worker for the poll loop and gets it
// back when the loop ends (see Controller).

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

class PanelLink : public QObject
{
    Q_OBJECT
public:
    explicit PanelLink(QObject *parent = nullptr) : QObject(parent) {}
    ~PanelLink() override = default;

    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Hands the bytes to the device and returns once they have left our own
    // buffers (so a following clear cannot drop them); false on an error.
    virtual bool write(const QByteArray &bytes) = 0;
    // Everything received so far. A datagram link returns the datagrams
    // pending now, concatenated.
    virtual QByteArray readAll() = 0;
    // Datagram links: takes the next pending datagram whole; false when none
    // is left. Other links have no datagrams.
    virtual bool readDatagram(QByteArray *datagram) { Q_UNUSED(datagram); return false; }
    // Drops what the device holds in both directions.
    virtual void clear() {}

    // True for datagram links: each notification replaces the receive buffer
    // instead of adding to it.
    virtual bool isDatagram() const { return false; }

    // Where and how a serial link opens; other links ignore it.
    virtual void setSerialSettings(const QString &devicePath, int baudRate, QSerialPort::Parity parity)
    {
        Q_UNUSED(devicePath); Q_UNUSED(baudRate);
        m_parity = parity;
    }
    // True when the device behind an open or closed link has vanished (its
    // path no longer exists); links without a device path answer false.
    virtual bool deviceGone() const { return false; }

    // Serial line controls; links without them accept and ignore the call.
    virtual bool setParity(QSerialPort::Parity parity) { m_parity = parity; return true; }
    QSerialPort::Parity parity() const { return m_parity; }
    virtual bool setDataTerminalReady(bool on) { Q_UNUSED(on); return true; }

    // Text of the last error, for log lines.
    virtual QString errorText() const { return QString(); }
    // What the link is opened on (device path, address), for log lines.
    virtual QString description() const { return QString(); }

signals:
    void readyRead();
    // The device went away (unplugged adapter, vanished pseudo-terminal).
    void deviceLost();

protected:
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
};
