#include "remote/dc09link.h"

#include <QDebug>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

// One way to the centre: its socket, what it has received so far and the
// deadline of the answer being waited for.
class Dc09Path : public QObject
{
public:
    Dc09Path(const QString &host, quint16 port, bool udp, const Dc09::Key &key, QObject *parent)
        : QObject(parent), m_host(host), m_port(port), m_key(key)
    {
        if (udp)
            m_socket = new QUdpSocket(this);
        else
            m_socket = new QTcpSocket(this);
        m_udp = udp;
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_socket->abort(); // a centre that hangs gets a fresh connection for the retry
            m_pending.clear();
            onFailure(QStringLiteral("no answer within %1 ms").arg(m_timer.interval()));
        });
        connect(m_socket, &QAbstractSocket::connected, this, [this] {
            if (!m_pending.isEmpty())
                m_socket->write(m_pending);
            m_pending.clear();
        });
        connect(m_socket, &QAbstractSocket::readyRead, this, [this] { readAnswers(); });
        connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            const QString why = m_socket->errorString();
            // An idle connection the centre closed is opened again by the next message.
            const bool waiting = m_timer.isActive();
            m_timer.stop();
            m_pending.clear();
            m_socket->abort();
            m_rx.clear();
            // Not from inside the socket's own signal: the link may retry on it at once.
            if (waiting) {
                const quint64 attempt = m_attempt;
                QMetaObject::invokeMethod(this, [this, why, attempt] {
                    if (attempt == m_attempt) // not overtaken by another transmission
                        onFailure(why);
                }, Qt::QueuedConnection);
            }
        });
    }

    QString text() const { return QStringLiteral("%1:%2").arg(m_host).arg(m_port); }

    void transmit(const QByteArray &frame, int timeoutMs)
    {
        ++m_attempt;
        m_timer.start(timeoutMs);
        if (m_socket->state() == QAbstractSocket::ConnectedState) {
            m_socket->write(frame);
            return;
        }
        m_pending = frame;
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            m_rx.clear();
            m_socket->connectToHost(m_host, m_port);
        }
    }
    // The answer came (or is no longer wanted).
    void done()
    {
        ++m_attempt;
        m_timer.stop();
        m_pending.clear();
    }
    void close()
    {
        done();
        m_socket->abort();
        m_rx.clear();
    }

    std::function<void(const Dc09::Message &)> onAnswer;
    std::function<void(const QString &)> onFailure;

private:
    void readAnswers()
    {
        if (m_udp) {
            auto *udp = static_cast<QUdpSocket *>(m_socket);
            while (udp->hasPendingDatagrams())
                append(udp->receiveDatagram().data());
        } else {
            append(m_socket->readAll());
        }
        while (!m_rx.isEmpty()) {
            const Dc09::Decoded d = Dc09::decode(m_rx, m_key);
            if (d.status == Dc09::Status::Incomplete)
                break;
            m_rx.remove(0, d.consumed);
            if (d.status == Dc09::Status::Invalid)
                qWarning().noquote() << QStringLiteral("DC-09: bad answer from %1 dropped: %2").arg(text(), d.error);
            else if (onAnswer)
                onAnswer(d.message);
        }
    }
    void append(const QByteArray &bytes)
    {
        // A centre sends a few short answers; more than this unread is not one.
        if (m_rx.size() + bytes.size() > 4 * Dc09::MaxBody) {
            qWarning().noquote() << QStringLiteral("DC-09: %1 bytes from %2 without a whole answer dropped")
                                        .arg(m_rx.size() + bytes.size()).arg(text());
            m_rx.clear();
            return;
        }
        m_rx += bytes;
    }

    QString m_host;
    quint16 m_port;
    Dc09::Key m_key;
    bool m_udp = false;
    QAbstractSocket *m_socket = nullptr;
    QByteArray m_pending; // written once the connection is up
    QByteArray m_rx;
    QTimer m_timer;
    quint64 m_attempt = 0;
};

Dc09Link::Dc09Link(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    if (!m_options.clock)
        m_options.clock = [] { return QDateTime::currentDateTimeUtc(); };
    m_options.retries = qMax(0, m_options.retries);
    m_paths[Primary] = new Dc09Path(m_options.primaryHost, m_options.primaryPort, m_options.udp, m_options.key, this);
    if (hasBackup())
        m_paths[Backup] = new Dc09Path(m_options.backupHost, m_options.backupPort, m_options.udp, m_options.key, this);
    for (int p : {int(Primary), int(Backup)}) {
        if (!m_paths[p])
            continue;
        m_paths[p]->onAnswer = [this, p](const Dc09::Message &m) { onAnswer(p, m); };
        m_paths[p]->onFailure = [this, p](const QString &why) { onFailure(p, why); };
    }
    m_supervision.setSingleShot(true);
    connect(&m_supervision, &QTimer::timeout, this, &Dc09Link::onSupervision);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Dc09Link::onRetryTimer);
    connect(&m_probeTimer, &QTimer::timeout, this, &Dc09Link::probePrimary);
}

Dc09Link::~Dc09Link()
{
    stop();
}

QString Dc09Link::pathText(int path) const
{
    return m_paths[path] ? m_paths[path]->text() : QString();
}

void Dc09Link::start()
{
    m_running = true;
    restartSupervision();
}

void Dc09Link::stop()
{
    m_running = false;
    m_busy = false;
    m_probing = false;
    m_supervision.stop();
    m_retry.stop();
    m_probeTimer.stop();
    for (Dc09Path *p : m_paths) {
        if (p)
            p->close();
    }
}

int Dc09Link::nextSeq()
{
    m_seq = m_seq >= 9999 ? 1 : m_seq + 1;
    return m_seq;
}

QByteArray Dc09Link::frameFor(const Flight &f)
{
    Dc09::Message m;
    m.id = f.id;
    m.encrypted = m_options.key.isSet();
    m.seq = f.seq;
    m.receiver = m_options.receiver;
    m.line = m_options.line;
    m.account = m_options.account;
    m.data = f.data;
    m.timestamp = m_options.clock().addMSecs(m_offsetMs[f.path]);
    return Dc09::encode(m, m_options.key);
}

void Dc09Link::transmit(Flight &f)
{
    if (&f == &m_flight && f.path == Primary && m_probing) {
        // The message itself tells whether the primary is back.
        m_paths[Primary]->done();
        m_probing = false;
    }
    const QByteArray frame = frameFor(f);
    if (frame.isEmpty()) {
        qWarning().noquote() << QStringLiteral("DC-09: message %1 \"%2\" cannot be framed; dropped")
                                    .arg(f.seq).arg(QString::fromLatin1(f.data));
        if (&f == &m_flight) {
            emit refused(f.ticket);
            finish();
        }
        return;
    }
    m_paths[f.path]->transmit(frame, m_options.ackTimeoutMs);
}

void Dc09Link::send(qint64 ticket, const QByteArray &id, const QByteArray &data)
{
    if (m_busy || !m_running)
        return;
    m_supervision.stop();
    m_flight = Flight();
    m_flight.ticket = ticket;
    m_flight.id = id;
    m_flight.data = data;
    m_flight.seq = nextSeq();
    m_flight.path = m_current;
    m_busy = true;
    transmit(m_flight);
}

void Dc09Link::onAnswer(int path, const Dc09::Message &m)
{
    Flight *f = nullptr;
    if (m_busy && m_flight.path == path && !m_retry.isActive())
        f = &m_flight;
    else if (m_probing && path == Primary)
        f = &m_probe;
    if (!f) {
        qWarning().noquote() << QStringLiteral("DC-09: answer \"%1\" %2 from %3 while nothing is waiting; ignored")
                                    .arg(QString::fromLatin1(m.id)).arg(m.seq).arg(pathText(path));
        return;
    }
    if (m.id == "NAK") {
        ++naks;
        if (!m.timestamp.isValid() || ++f->naks > 2) {
            m_paths[path]->done();
            onFailure(path, QStringLiteral("NAK again after correcting the time"));
            return;
        }
        m_offsetMs[path] = m_options.clock().msecsTo(m.timestamp);
        qWarning().noquote() << QStringLiteral("DC-09: %1 refused message %2 for its time; the centre's clock is %3 s "
                                               "off ours, sending again")
                                    .arg(pathText(path)).arg(f->seq).arg(m_offsetMs[path] / 1000.0);
        transmit(*f);
        return;
    }
    if (m.seq != f->seq || (m.id != "ACK" && m.id != "DUH")) {
        qWarning().noquote() << QStringLiteral("DC-09: answer \"%1\" %2 from %3 does not match message %4; ignored")
                                    .arg(QString::fromLatin1(m.id)).arg(m.seq).arg(pathText(path)).arg(f->seq);
        return;
    }
    m_paths[path]->done();
    setState(path, true);
    if (f == &m_probe) {
        m_probing = false;
        return;
    }
    if (m.id == "DUH") {
        ++duhs;
        qWarning().noquote() << QStringLiteral("DC-09: %1 cannot process message %2 \"%3\" (DUH); not sent again")
                                    .arg(pathText(path)).arg(f->seq).arg(QString::fromLatin1(f->data));
        emit refused(f->ticket);
    } else {
        ++acked;
        if (f->ticket != 0)
            emit delivered(f->ticket);
    }
    finish();
}

void Dc09Link::onFailure(int path, const QString &why)
{
    if (m_probing && path == Primary && !(m_busy && m_flight.path == Primary)) {
        m_probing = false; // still lost; the probe timer tries again
        return;
    }
    if (!m_busy || m_flight.path != path)
        return;
    Flight &f = m_flight;
    ++timeouts;
    ++f.tries;
    f.naks = 0;
    qWarning().noquote() << QStringLiteral("DC-09: message %1 to %2 failed (%3), try %4 of %5")
                                .arg(f.seq).arg(pathText(path), why).arg(f.tries).arg(m_options.retries + 1);
    if (f.tries <= m_options.retries) {
        transmit(f);
        return;
    }
    setState(path, false);
    f.tries = 0;
    if (path == Primary && hasBackup()) {
        f.path = Backup;
        m_current = Backup;
        transmit(f);
        return;
    }
    if (f.ticket == 0) {
        finish(); // a supervision NULL is not kept: the next one comes at its interval
        return;
    }
    // No path answers: the next round starts on the primary after a pause.
    f.path = Primary;
    m_current = Primary;
    m_retry.start(m_options.retryIntervalMs);
}

void Dc09Link::onRetryTimer()
{
    if (m_busy && m_running)
        transmit(m_flight);
}

void Dc09Link::finish()
{
    m_busy = false;
    restartSupervision();
    emit ready();
}

void Dc09Link::setState(int path, bool up)
{
    const int before = m_state[path];
    m_state[path] = up ? 1 : 0;
    if (up) {
        if (path == Primary) {
            m_probeTimer.stop();
            m_current = Primary;
        }
        if (before == 0) {
            qWarning().noquote() << QStringLiteral("DC-09: %1 path %2 answers again")
                                        .arg(path == Primary ? QStringLiteral("primary") : QStringLiteral("backup"),
                                             pathText(path));
            emit pathChanged(path, true);
        }
        return;
    }
    if (path == Primary && hasBackup() && !m_probeTimer.isActive())
        m_probeTimer.start(m_options.retryIntervalMs);
    if (before != 0) {
        ++lost[path];
        qWarning().noquote() << QStringLiteral("DC-09: %1 path %2 lost")
                                    .arg(path == Primary ? QStringLiteral("primary") : QStringLiteral("backup"),
                                         pathText(path));
        emit pathChanged(path, false);
    }
}

void Dc09Link::onSupervision()
{
    if (!m_running || m_busy)
        return;
    ++nulls;
    send(0, "NULL", QByteArray());
}

void Dc09Link::probePrimary()
{
    if (!m_running || m_probing || (m_busy && m_flight.path == Primary) || m_state[Primary] == 1)
        return;
    m_probe = Flight();
    m_probe.id = "NULL";
    m_probe.seq = nextSeq();
    m_probe.path = Primary;
    m_probing = true;
    transmit(m_probe);
}

void Dc09Link::restartSupervision()
{
    if (m_running && m_options.supervisionMs > 0)
        m_supervision.start(m_options.supervisionMs);
}
