#pragma once
// An alarm receiving centre's DC-09 receiver for demos, tests and
// benchmarks (and the tool fire-arc): TCP and UDP on one port of loopback,
// frames checked (CRC, length, framing) and decrypted with its key, the
// timestamp held against its own clock (window -40 s/+20 s, else NAK with
// its time), and each message answered as told: ACK, NAK, DUH or nothing.
// close() and listen() again on the same port play an outage.

#include "remote/dc09codec.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUdpSocket>

class QTcpSocket;

class Dc09Receiver : public QObject
{
    Q_OBJECT
public:
    enum Mode { Ack, Nak, Duh, Silent };

    struct Received
    {
        Dc09::Message message;
        QByteArray frame;
        QDateTime at;          // our clock, UTC
        bool udp = false;
        QByteArray answer;     // "ACK", "NAK", "DUH" or empty (silence)
    };

    explicit Dc09Receiver(QObject *parent = nullptr);
    ~Dc09Receiver() override { close(); }

    // Port 0: a free one (TCP's; UDP takes the same number).
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    void close();
    bool isListening() const { return m_tcp.isListening(); }
    quint16 port() const { return m_port; }

    void setKey(const Dc09::Key &key) { m_key = key; }
    void setMode(Mode mode) { m_mode = mode; }
    // Our clock runs this far from the true UTC time.
    void setClockOffsetSecs(qint64 secs) { m_offsetSecs = secs; }
    // Keep every message in received() (the default); a benchmark only counts.
    void setKeep(bool keep) { m_keep = keep; }

    const QList<Received> &received() const { return m_received; }
    int count() const { return m_count; }
    int invalidCount() const { return m_invalid; }
    void clear() { m_received.clear(); }

    // The message in one line with its decoded fields, as fire-arc prints it.
    static QString describe(const Received &r);

signals:
    void messageReceived(const Dc09Receiver::Received &r);

private:
    // Answer for the frames in buffer; consumed bytes are removed.
    QByteArray take(QByteArray &buffer, bool udp, const QString &peer);
    QByteArray answerTo(const Dc09::Message &m, QByteArray *kind);

    QTcpServer m_tcp;
    QUdpSocket m_udp;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    quint16 m_port = 0;
    Dc09::Key m_key;
    Mode m_mode = Ack;
    qint64 m_offsetSecs = 0;
    bool m_keep = true;
    QList<Received> m_received;
    int m_count = 0;
    int m_invalid = 0;
};

Q_DECLARE_METATYPE(Dc09Receiver::Received)
