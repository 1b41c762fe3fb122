#pragma once
// The panel library of the Marsh network panels: a QObject that owns the link
// to one panel, hands it command records and reports the panel's records back
// through a signal. The driver knows only the calls below.
//
// Wire protocol (version 1), one packet per UDP datagram between the server's
// local port (9102) and the panel's port (9101); integers big-endian:
//
//   offset  size  field
//   0       2     "AT"
//   2       1     version, 1
//   3       1     kind: 1 record, 2 acknowledgement, 3 keep-alive, 4 keep-alive answer
//   4       1     panel id (the controller number); one local port serves many panels
//   5       2     sequence number: each new record or keep-alive takes the sender's
//                 next number; an acknowledgement or answer repeats the number it answers
//   7       n     record body (kind 1 only):
//                   code (1), byte 1 (1), data (4, the record's bytes 4..7),
//                   index (2, bytes 8..9), then three texts, each a length byte
//                   and up to 32 printable ASCII characters
//   7+n     2     CRC-16/MODBUS of bytes 0 .. 6+n
//
// Records travel stop-and-wait: the receiver acknowledges every record and
// passes on a record only when its number differs from the last one passed
// on (a repeat is a retransmission whose acknowledgement was lost); the
// sender repeats an unacknowledged record every retry period, three times at
// most, then drops it with a log line. Datagrams that fail any check are
// dropped with a log line.
//
// Keep-alive: the library sends one when the link is set up and then every
// keep-alive period; the panel answers each. Any valid packet shows the panel
// alive. The library reports two records of its own through recvDataEvent:
// code 0x01 when the panel is heard first, or again after a loss, and code
// 0x9A when a panel that was heard stays silent for the loss period.
//
// Threads: the object lives in the thread that created it; sendEventData may
// be called from any thread (the record is handed to the object's thread).

#include "panels/models/ats2wire.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include <atomic>

class Ats2Socket;

class Ats2Panel : public QObject
{
    Q_OBJECT
public:
    explicit Ats2Panel(QObject *parent = nullptr);
    ~Ats2Panel() override;

    // Binds the local port (an empty localAddress: every address) and greets
    // the panel at panelAddress:panelPort. False when the address does not
    // parse, the port cannot be bound, or the id is taken on that port.
    bool setPanelId(unsigned char panelId, const QString &localAddress, const QString &panelAddress,
                    unsigned short localPort, unsigned short panelPort);
    // Queues one command record for the panel; true when it was handed over
    // (the link is set up and the record fits). Any thread.
    bool sendEventData(const SPanel2ATSData &data);
    // Passes one panel record to the listeners of recvDataEvent, as the
    // library does with every new record from the panel.
    bool recvPanelData(const SPanel2ATSData &data);

    // Keep-alive period, silence that counts as a loss, record retry period
    // (10 s, 30 s, 1 s); tests shorten them.
    void setTimings(int keepAliveMs, int lossMs, int retryMs);
    // The bound local port (tests bind port 0).
    quint16 localPort() const;
    bool isPanelHeard() const { return m_state == Up; }

signals:
    void recvDataEvent(const SPanel2ATSData &data);
    void recvRowData(const SATSPacket *packet);

private:
    friend class Ats2Socket;
    enum State { Unset, Unknown, Up, Lost };

    void handleDatagram(const SATSPacket &packet);
    void queueRecord(const SPanel2ATSData &data);
    void sendHead();
    void onRetry();
    void onKeepAlive();
    void send(quint8 kind, quint16 sequence, const SPanel2ATSData &record = {});
    void releaseSocket();

    std::atomic<bool> m_bLinkSet{false};
    // Everything below is used in the object's thread only.
    State m_state = Unset;
    Ats2Socket *m_pSocket = nullptr;
    quint8 m_nPanelId = 0;
    QHostAddress m_panelAddress;
    quint16 m_nPanelPort = 0;
    quint16 m_nSequence;
    bool m_bDelivered = false;      // m_nLastDelivered is valid
    quint16 m_nLastDelivered = 0;
    struct Outgoing { quint16 sequence; SPanel2ATSData record; int attempts; };
    QList<Outgoing> m_outgoing;
    bool m_bQueueFullLogged = false;
    QTimer m_keepAlive;
    QTimer m_retry;
    QElapsedTimer m_heard;
    int m_nLossMs = 30000;
};
