#pragma once
// Runs the Elm panel simulator on a UDP socket: datagrams from the server go
// to the simulator, its answers and reports go to the server. The socket
// listens on all addresses so the server's connect broadcasts reach it, but
// it only ever sends to a loopback address: the server given, else
// 127.0.0.1:9002 until a connect frame names the server (its address, the
// port it was sent from).

#include "tools/sim/simtransport.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>

class RecordPanelSim;

class ElmSimSocket : public SimTransport
{
    Q_OBJECT
public:
    // Runs sim (not owned; it must outlive the socket).
    explicit ElmSimSocket(RecordPanelSim &sim, QObject *parent = nullptr);
    // The panel simulator tool's transport: --listen PORT (default 9001),
    // --server HOST:PORT (a loopback address); null with *error set.
    static ElmSimSocket *fromOptions(RecordPanelSim &sim, const QCommandLineParser &parser, QString *error);

    bool listen(quint16 port);
    quint16 localPort() const { return m_socket.localPort(); }
    QString errorText() const { return m_strError; }
    // A fixed server: connect frames no longer move it. False (and nothing
    // changes) for an address outside 127.0.0.0/8.
    bool setServer(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const { return m_server; }
    quint16 serverPort() const { return m_nServerPort; }
    // Sends a datagram to the server unasked.
    void sendRaw(const QByteArray &bytes);

private:
    void onReadyRead();

    RecordPanelSim &m_sim;
    QUdpSocket m_socket;
    QTimer m_unsolicited;
    QHostAddress m_server = QHostAddress(QHostAddress::LocalHost);
    quint16 m_nServerPort = 9002;
    bool m_bFixed = false;
    QString m_strError;
};
