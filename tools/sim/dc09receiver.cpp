#include "tools/sim/dc09receiver.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QTcpSocket>

namespace {
// What one connection may hold unread before it is cut.
constexpr int kMaxBuffer = 4 * Dc09::MaxBody;
}

Dc09Receiver::Dc09Receiver(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<Dc09Receiver::Received>();
    connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_tcp.nextPendingConnection()) {
            m_buffers.insert(s, QByteArray());
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                QByteArray &buffer = m_buffers[s];
                buffer += s->readAll();
                if (buffer.size() > kMaxBuffer) {
                    qWarning().noquote() << "fire-arc: connection sent" << buffer.size() << "bytes without a whole frame; closed";
                    s->abort();
                    return;
                }
                const QByteArray answers = take(buffer, false, s->peerAddress().toString());
                if (!answers.isEmpty())
                    s->write(answers);
            });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                m_buffers.remove(s);
                s->deleteLater();
            });
        }
    });
    connect(&m_udp, &QUdpSocket::readyRead, this, [this] {
        while (m_udp.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_udp.receiveDatagram(Dc09::MaxBody + 16);
            QByteArray buffer = d.data();
            const QByteArray answers = take(buffer, true, d.senderAddress().toString());
            if (!answers.isEmpty())
                m_udp.writeDatagram(answers, d.senderAddress(), quint16(d.senderPort()));
        }
    });
}

bool Dc09Receiver::listen(quint16 port, const QHostAddress &address)
{
    if (!m_tcp.listen(address, port == 0 ? m_port : port))
        return false;
    m_port = m_tcp.serverPort();
    if (!m_udp.bind(address, m_port)) {
        m_tcp.close();
        return false;
    }
    return true;
}

void Dc09Receiver::close()
{
    m_tcp.close();
    m_udp.close();
    const QList<QTcpSocket *> sockets = m_buffers.keys();
    m_buffers.clear();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

QByteArray Dc09Receiver::take(QByteArray &buffer, bool udp, const QString &peer)
{
    QByteArray answers;
    while (!buffer.isEmpty()) {
        const Dc09::Decoded d = Dc09::decode(buffer, m_key);
        if (d.status == Dc09::Status::Incomplete) {
            if (udp) // a datagram is whole or nothing
                buffer.clear();
            break;
        }
        const QByteArray frame = buffer.left(d.consumed);
        buffer.remove(0, d.consumed);
        if (d.status == Dc09::Status::Invalid) {
            ++m_invalid;
            qWarning().noquote() << QStringLiteral("fire-arc: frame from %1 refused: %2").arg(peer, d.error);
            continue;
        }
        Received r;
        r.message = d.message;
        r.frame = frame;
        r.at = QDateTime::currentDateTimeUtc().addSecs(m_offsetSecs);
        r.udp = udp;
        answers += answerTo(d.message, &r.answer);
        ++m_count;
        if (m_keep)
            m_received.append(r);
        emit messageReceived(r);
    }
    return answers;
}

QByteArray Dc09Receiver::answerTo(const Dc09::Message &m, QByteArray *kind)
{
    const QDateTime now = QDateTime::currentDateTimeUtc().addSecs(m_offsetSecs);
    Mode mode = m_mode;
    // A message outside the window of our clock is refused with our time.
    if (mode == Ack && m.timestamp.isValid()) {
        const qint64 skew = now.secsTo(m.timestamp);
        if (skew < -40 || skew > 20)
            mode = Nak;
    }
    Dc09::Message a;
    a.seq = m.seq;
    a.receiver = m.receiver;
    a.line = m.line;
    a.account = m.account;
    switch (mode) {
    case Silent:
        return QByteArray();
    case Nak:
        a = Dc09::Message();
        a.id = "NAK";
        a.receiver = "0";
        a.accountPrefix = 'A';
        a.account = "0";
        a.timestamp = now;
        break;
    case Duh:
        a.id = "DUH";
        break;
    case Ack:
        a.id = "ACK";
        // An encrypted ACK carries the time, so it cannot be replayed.
        a.encrypted = m.encrypted;
        if (m.encrypted)
            a.timestamp = now;
        break;
    }
    *kind = a.id;
    return Dc09::encode(a, m_key);
}

QString Dc09Receiver::describe(const Received &r)
{
    const Dc09::Message &m = r.message;
    QString fields;
    const int bar = m.data.indexOf('|');
    const QByteArray event = bar >= 0 ? m.data.mid(bar + 1) : QByteArray();
    if (m.id == "SIA-DCS" && event.startsWith("Nri") && event.indexOf('/') > 3) {
        const int slash = event.indexOf('/');
        fields = QStringLiteral(" area %1 code %2 zone %3")
                     .arg(QString::fromLatin1(event.mid(3, slash - 3)), QString::fromLatin1(event.mid(slash + 1, 2)),
                          QString::fromLatin1(event.mid(slash + 3)));
    } else if (m.id == "ADM-CID" && event.size() == 11) {
        fields = QStringLiteral(" %1 event %2 group %3 zone %4")
                     .arg(event.at(0) == '3' ? QStringLiteral("restore") : event.at(0) == '6' ? QStringLiteral("status")
                                                                                             : QStringLiteral("new"),
                          QString::fromLatin1(event.mid(1, 3)), QString::fromLatin1(event.mid(5, 2)),
                          QString::fromLatin1(event.mid(8, 3)));
    }
    return QStringLiteral("%1 %2%3 seq %4 account %5%6 line %7 [%8]%9 time %10%11 -> %12")
        .arg(r.at.toString(Qt::ISODate), r.udp ? QStringLiteral("udp") : QStringLiteral("tcp"),
             m.encrypted ? QStringLiteral(" encrypted") : QString())
        .arg(m.seq, 4, 10, QLatin1Char('0'))
        .arg(QString::fromLatin1(m.account),
             m.receiver.isEmpty() ? QString() : QStringLiteral(" receiver ") + QString::fromLatin1(m.receiver),
             QString::fromLatin1(m.line), QString::fromLatin1(m.id + ' ' + m.data), fields,
             m.timestamp.isValid() ? m.timestamp.toString(Qt::ISODate) : QStringLiteral("-"),
             m.extended.isEmpty() ? QString() : QStringLiteral(" extended ") + QString::fromLatin1(m.extended),
             r.answer.isEmpty() ? QStringLiteral("no answer") : QString::fromLatin1(r.answer));
}
