#pragma once
// Receiver of a Modbus converter's reports: JSON texts in UDP datagrams on
// port 9040, each object turned into an event for the dispatcher.
//
// Lives in the main thread; the socket's notifications arrive through its
// event loop. Nothing is locked.

#include "core/cevent.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QVariant>

class QUdpSocket;

class CModbusDevice : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 9040;
    // A burst of thousands of datagrams must wait in the kernel while the
    // main thread is busy; the default (about 200 KiB) holds a few hundred.
    static constexpr int SocketReceiveBufferBytes = 4 * 1024 * 1024;
    // Datagrams taken per notification. A sender faster than we are must not
    // hold the main thread in the read loop: the dispatcher's pacing, the
    // clients and a SIGTERM would wait until it stopped. What is left is
    // announced again by the socket at once.
    static constexpr int MaxDatagramsPerPass = 200;

    // Binds at once; port 0 picks a free port (tests).
    explicit CModbusDevice(quint16 port = DefaultPort, QObject *parent = nullptr);

    bool isBound() const;
    quint16 localPort() const;

    // One message (one "{...}") to an event; false and the reason when it
    // makes none. Pure apart from the current time and the event table.
    static bool convert(const QByteArray &message, CEvent *event, QString *reason = nullptr);

    // Counters for the console and metrics.
    quint64 messagesReceived() const { return m_received; }
    quint64 messagesRejected() const { return m_rejected; }
    quint64 bytesDropped() const { return m_bytesDropped; }

signals:
    void sendEvent(const CEvent &e);

public slots:
    void dataReceived();

private:
    void handleMessage(const QByteArray &message);
    void logRejected(const QString &why, const QByteArray &message);

    QUdpSocket *m_socket = nullptr;
    QByteArray m_buffer; // bytes received and not yet consumed, at most the stream cap
    bool m_overCap = false; // an over-cap episode is logged once; a good message ends it
    quint64 m_received = 0;
    quint64 m_rejected = 0;
    quint64 m_bytesDropped = 0;
    // A sender of garbage must not fill the disk: at most one line a second.
    QElapsedTimer m_lastRejectLog;
    quint64 m_unloggedRejects = 0;
};
