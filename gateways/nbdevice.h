#pragma once
// The NB-IoT receiver: detector messages that the operator platform posts as
// JSON to "/postData" become events for the dispatcher. Lives in the main
// thread; the bodies arrive from the HTTP threads as queued calls, after each
// request has been acknowledged.

#include "core/cevent.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QVariant>

class Http;

class NBDevice : public QObject
{
    Q_OBJECT
public:
    // Starts the HTTP listener from httpConfig.ini; without that file the
    // receiver exists but hears nothing (logged).
    explicit NBDevice(QObject *parent = nullptr);
    ~NBDevice() override;

    Http *http() const { return m_http; }
    // The port the receiver listens on; 0 when it does not.
    quint16 serverPort() const;

    // The event a message makes; false when it makes none (no or unknown
    // "msg_type", or a "dev_data" reading within its limits).
    static bool parseMessage(const QJsonObject &message, CEvent *event);
    // Whether a "dev_online" or "dev_data" message makes an event.
    static bool checkDeviceData(const QString &msgType, const QJsonObject &content);

    // Messages handed over since the start, and those that were not JSON
    // objects (monitoring; main thread).
    quint64 receivedCount() const { return m_nReceived; }
    quint64 rejectedCount() const { return m_nRejected; }

signals:
    void sendEvent(const CEvent &e);

public slots:
    void receiveData(QByteArray recvArray);

private:
    Http *m_http = nullptr; // child
    quint64 m_nReceived = 0;
    quint64 m_nRejected = 0;
};
