#pragma once
// Driver of the Elm network panel (type code 240): UDP datagrams in the 0x7E
// record format. The panel reports on its own; every datagram is
// acknowledged, reports become events through the event table, and client
// commands go out as command, time and device-state frames. Until the panel
// has been heard, a connect frame telling it the server's address is
// broadcast every 5 s.
//
// Threads: datagrams are received, decoded and acknowledged in the worker,
// which owns the socket while it runs; the connect frames go out from the
// worker's passes as well, so nothing touches the socket from the main thread.

#include "panels/controller.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>

#include <atomic>

class UdpLink;

class ControllerElm : public Controller
{
    Q_OBJECT
public:
    // The server's port, bound by one Elm controller per process, and the
    // panel's port.
    static const quint16 kServerPort = 9002;
    static const quint16 kPanelPort = 9001;

    // strLink: the record's address, e.g. "0/192.168.1.20:9002"; the panel's
    // IPv4 address is the text between the first '/' and the next ':'.
    ControllerElm(const QString &strLink, int nControllerID, int nControllerType);
    ~ControllerElm() override;
    static const PanelModel &model();

    bool openController() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result sendControl97() override;
    Result syncTime() override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;
    void handleRecvData() override;
    // Not a poll: each pass sends the connect frame when it is due; always Done.
    Result pollPanel() override;

    // --- settings for tests and tools (before openController) ---
    void setPorts(quint16 localPort, quint16 panelPort);
    void setConnectIntervalMs(int ms) { m_nConnectIntervalMs = ms; }
    // The pause between decoding a report and acknowledging it (100 ms).
    void setAckDelayMs(int ms) { m_nAckDelayMs = ms; }

    // The local port as bound by the last successful open (any thread).
    quint16 localPort() const { return m_nBoundPort.load(); }
    // Where connect frames go; null when no interface carries the server address.
    QHostAddress connectAddress() const { return m_connectTo; }

protected:
    // Sends the connect frame unless the panel is known to be communicating
    // (the link's thread).
    void slotSendConnectToPanel();

private:
    void handleDatagram(const QByteArray &datagram);
    bool send(const QByteArray &frame);
    CEvent decodeReport(const QByteArray &datagram, quint8 kind, quint8 id) const;
    // Panel number of an outgoing command: the one the command names, else
    // the last one heard.
    quint8 targetPanel() const;

    UdpLink *m_pUdp;                     // the base's link, owned by the base
    QHostAddress m_panelAddress;         // set at construction
    quint16 m_nLocalPort = kServerPort;
    quint16 m_nPanelPort = kPanelPort;
    std::atomic<quint16> m_nBoundPort{0};
    // Taken in the main thread at open, since the controller dialog may
    // change the server address while the worker runs.
    QByteArray m_connectFrame;
    QHostAddress m_connectTo;
    int m_nConnectIntervalMs = 5000;
    int m_nAckDelayMs = 100;

    // The link's thread only (the worker while it runs).
    QDeadlineTimer m_connectDue;
    QList<QByteArray> m_pending;         // datagrams waiting behind the one being handled
    bool m_bHandling = false;
    bool m_bPendingFullLogged = false;
    bool m_bSendFailLogged = false;
    // The panel number of the last datagram, used by commands; written by
    // the reception, read by the commands (both in the link's thread, atomic
    // because the link changes threads between open and start).
    std::atomic<int> m_nPanelNumber;
};
