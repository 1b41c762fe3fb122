#pragma once
// Health and metrics of the running server for its operators' tools: an
// HTTP listener (127.0.0.1 by default) answering "/healthz" (200, or 503
// with a one-line reason) and "/metrics" in the Prometheus text format.
// The answers are built in the main thread from the components' own
// counters, so counting costs the hot paths nothing; a main thread that does
// not answer within the wait is itself the health problem.

#include "http/httplistenerthread.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class FireServer;
class MonitoringHandler;

class Monitoring : public QObject
{
    Q_OBJECT
public:
    // server must outlive this object.
    explicit Monitoring(FireServer *server, QObject *parent = nullptr);
    ~Monitoring() override;

    // Listens on host:port (port 0: any free one); false when binding fails (logged).
    bool start(const QString &host, quint16 port);
    quint16 port() const;
    // How long a request waits for the main thread before "/healthz" says
    // it is stalled (and "/metrics" gives up).
    void setAnswerTimeoutMs(int ms);

    // Main thread. Empty when healthy, else the reason in one line.
    QString healthProblem() const;
    // Main thread. The whole "/metrics" document.
    QByteArray metricsText() const;

private:
    FireServer *m_server;
    MonitoringHandler *m_handler = nullptr;
    // A main thread that hangs must still get its "503" rather than a
    // connection nobody accepts.
    HttpListenerThread m_listener;

};
