#pragma once
// An in-process stand-in for a panel line: it records every write with the
// parity in force and answers from a script, so protocol code can be checked
// byte by byte without hardware. It lives in the driver's worker like a real
// link; the test thread reads the record and injects bytes through the
// thread-safe calls below.

#include "panels/panellink.h"

#include <QList>
#include <QMutex>

#include <functional>

class FakeLink : public PanelLink
{
    Q_OBJECT
public:
    struct Write {
        QByteArray bytes;
        QSerialPort::Parity parity;
    };
    // Called in the link's thread for every write; what it returns arrives as
    // received bytes after the reply delay.
    using Responder = std::function<QByteArray(const QByteArray &bytes, QSerialPort::Parity parity)>;

    explicit FakeLink(QObject *parent = nullptr);

    // --- script (set before the driver starts, or from the link's thread) ---
    void setResponder(Responder responder);
    void setOpenResult(bool ok) { m_bOpenResult = ok; }
    void setFailWrites(bool fail) { m_bFailWrites = fail; }

    // --- thread-safe ---
    QList<Write> writes() const;
    // Every written byte with its parity, in order.
    QList<QPair<quint8, QSerialPort::Parity>> writtenBytes() const;
    QByteArray writtenData() const;
    void clearWrites();
    // Delivers bytes as if the panel sent them.
    void inject(const QByteArray &bytes);
    int openCount() const;
    QString devicePath() const;
    int baudRate() const;

    void setSerialSettings(const QString &devicePath, int baudRate, QSerialPort::Parity parity) override;
    bool open() override;
    void close() override;
    bool isOpen() const override { return m_bOpened; }
    bool write(const QByteArray &bytes) override;
    QByteArray readAll() override;
    void clear() override;
    QString errorText() const override { return QStringLiteral("fake link"); }
    QString description() const override { return QStringLiteral("fake"); }

private:
    void deliver(const QByteArray &bytes);

    Responder m_responder;
    bool m_bOpenResult = true;
    bool m_bFailWrites = false;
    bool m_bOpened = false;

    // m_lock guards everything below; the link's thread and the test thread take it.
    mutable QMutex m_lock;
    QList<Write> m_writes;
    QByteArray m_pending;
    int m_nOpenCount = 0;
    QString m_strPath;
    int m_nBaud = 0;
};
