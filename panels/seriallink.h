#pragma once
// The real serial line behind a driver: a QSerialPort on a device path
// (a COM name already resolved through config.ini, or a pseudo-terminal).

#include "panels/panellink.h"

#include <QSerialPort>

class SerialLink : public PanelLink
{
    Q_OBJECT
public:
    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    void setSerialSettings(const QString &devicePath, int baudRate, QSerialPort::Parity parity) override;
    bool open() override;
    void close() override;
    bool isOpen() const override;
    bool write(const QByteArray &bytes) override;
    QByteArray readAll() override;
    void clear() override;
    bool setParity(QSerialPort::Parity parity) override;
    bool setDataTerminalReady(bool on) override;
    bool deviceGone() const override;
    QString errorText() const override;
    QString description() const override { return m_strPath; }

    QSerialPort *m_pSerialPort;

private:
    void onError(QSerialPort::SerialPortError error);

    QString m_strPath;
    QByteArray m_encodedPath; // m_strPath as the file system takes it, encoded once
    int m_nBaudRate = 2400;
};
