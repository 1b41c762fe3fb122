#include "clients/cclient.h"

#include "clients/ceventprocess.h"
#include "clients/clientaccounts.h"
#include "clients/clientcodec.h"
#include "core/safejson.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

int CClient::s_nSequence = 0;

namespace {
// Connections closed for silence or for not logging in. One that holds a
// user is an operator's and always logged; a flood of anonymous idle
// connections would write one warning each, so of those at most one line a
// minute goes out per reason, counting the closes it stands for.
class DropLog
{
public:
    // Whether this close is to be logged; *more gets the anonymous closes
    // since the last line that were not.
    bool due(const QString &strUserName, int *more)
    {
        *more = 0;
        if (!strUserName.isEmpty())
            return true;
        if (m_last.isValid() && m_last.elapsed() < 60000) {
            ++m_nUnlogged;
            return false;
        }
        *more = m_nUnlogged;
        m_nUnlogged = 0;
        m_last.start();
        return true;
    }

private:
    QElapsedTimer m_last;
    int m_nUnlogged = 0;
};

// Main thread only, like every client.
DropLog s_silentDrops;
DropLog s_deadlineDrops;

QString moreText(int more)
{
    return more ? QStringLiteral(" (and %1 more without a login since the last such line)").arg(more) : QString();
}
}

CClient::CClient(CEventProcess *pEventProcess, QObject *parent)
    : QObject(parent), m_pEventProcess(pEventProcess)
{
    m_loginTimer.setSingleShot(true);
    m_loginDeadline.setSingleShot(true);
    connect(&m_loginDeadline, &QTimer::timeout, this, &CClient::slotLoginDeadline);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &CClient::slotHeartbeat);
    connect(&m_backlogTimer, &QTimer::timeout, this, &CClient::slotBacklogTick);
    connect(&m_resetTimer, &QTimer::timeout, this, &CClient::slotResetFollowUp);
    connect(&m_loginTimer, &QTimer::timeout, this, &CClient::slotLoginContinue);
    if (m_pEventProcess) {
        connect(m_pEventProcess, &CEventProcess::sendEventToClient, this,
                &CClient::slotSendDataToClient);
    }
}

CClient::~CClient() = default;

int CClient::nextSequence()
{
    if (++s_nSequence >= 65535)
        s_nSequence = 1;
    return s_nSequence;
}

void CClient::resetSequence(int value)
{
    s_nSequence = value;
}

QString CClient::peerText() const
{
    return m_socket ? m_socket->peerAddress().toString() : QString();
}

void CClient::setSocket(QTcpSocket *socket)
{
    m_socket = socket;
    if (!socket)
        return;
    socket->setParent(this);
    // Qt stops reading from the kernel once this much is unread, so a flood
    // is held back by TCP instead of growing our memory.
    socket->setReadBufferSize(SocketReadBuffer);
    // Events are small and must not wait for the peer's delayed ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &CClient::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &CClient::clientDisconnected);

    // A dual-stack listener reports "::ffff:127.0.0.1": the part after the
    // last ":" is what decides. Local tools may stay quiet for ever.
    QString peer = socket->peerAddress().toString();
    peer = peer.mid(peer.lastIndexOf(QLatin1Char(':')) + 1);
    if (peer != QLatin1String("127.0.0.1"))
        m_heartbeatTimer.start(m_timing.heartbeatMs);
    // Whatever the address: a connection that never logs in must not hold
    // its place for ever (a display board that never logs in is served when
    // events go to such connections).
    if (!ServerContext::instance().eventsWithoutLogin)
        m_loginDeadline.start(m_timing.loginDeadlineMs);

    if (socket->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &CClient::clientDisconnected, Qt::QueuedConnection);
    else if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &CClient::onReadyRead, Qt::QueuedConnection);
}

bool CClient::isLoggedIn() const
{
    return !m_bLoginPending && ClientAccounts::instance().holdsLogin(m_userName, m_nSession);
}

// --- receiving ----------------------------------------------------------------

void CClient::onReadyRead()
{
    if (m_bClosed)
        return;
    // Any arrival counts as life, even bytes that frame no message.
    m_bSilent = false;
    m_nMissedBeats = 0;
    processInput();
}

void CClient::processInput()
{
    for (;;) {
        processBuffer();
        if (m_bLoginPending || m_bClosed || !m_socket || m_socket->bytesAvailable() <= 0)
            return;
        m_buffer.append(m_socket->read(ReadChunk));
    }
}

void CClient::processBuffer()
{
    int offset = 0;
    while (!m_bLoginPending && !m_bClosed && offset < m_buffer.size()) {
        const QByteArray view = QByteArray::fromRawData(m_buffer.constData() + offset, m_buffer.size() - offset);
        const JsonSplitter::Result r = m_splitter.next(view);
        offset += r.consumed;
        if (r.status == JsonSplitter::Invalid) {
            qWarning() << "client" << peerText() << ": unfinished JSON object passed" << MaxObjectBytes
                       << "bytes, dropped";
            continue;
        }
        if (r.status == JsonSplitter::Incomplete) {
            if (r.consumed == 0)
                break;
            continue;
        }
        QString why;
        const QJsonDocument doc = SafeJson::parse(r.object, &why);
        if (!doc.isObject()) {
            qWarning() << "client" << peerText() << ": unparsable JSON object dropped:" << why
                       << ClientCodec::redactPasswords(r.object.left(200));
            continue;
        }
        handleRequest(ClientCodec::decodeRequest(doc.object()));
    }
    m_buffer.remove(0, offset);
}

// --- sending ------------------------------------------------------------------

bool CClient::slotSendDataToClient(int EventType, const CEvent &sendEvent, const QString &strUserName)
{
    if (strUserName != QLatin1String("ALL") && strUserName != m_userName)
        return false;
    if (EventType < 1 || EventType > 3)
        return false;
    // The event stream tells who is where and what is burning: it is for
    // operators who logged in. One whose login is in its pause gets what
    // goes out meanwhile as soon as the pause ends, so nothing in between
    // is lost to it.
    if (!isLoggedIn() && !ServerContext::instance().eventsWithoutLogin) {
        if (!m_bLoginPending || m_bClosed)
            return false;
        if (m_pauseDeliveries.size() >= MaxPauseDeliveries) {
            m_pauseDeliveries.removeFirst();
            if (!m_bPauseOverflowLogged) {
                m_bPauseOverflowLogged = true;
                qWarning() << "client" << peerText() << ": more than" << MaxPauseDeliveries
                           << "events during the login pause; the oldest are dropped";
            }
        }
        m_pauseDeliveries.append({EventType, sendEvent});
        return true;
    }
    switch (EventType) {
    case 1:
        if (m_pEventProcess && m_pEventProcess->isDelivering(sendEvent))
            return sendDelivered(sendEvent);
        return send(QStringLiteral("NewEvent"), sendEvent.toVariant());
    // The centre link words carry an empty text, whatever came with them.
    case 2: return send(QStringLiteral("RemoteOK"), QVariant(QString()));
    case 3: return send(QStringLiteral("RemoteFailed"), QVariant(QString()));
    default: return false;
    }
}

bool CClient::send(const QString &strWord, const QVariant &payload)
{
    if (m_bSilent)
        return false;
    return sendMessage(nextSequence(), strWord, payload);
}

bool CClient::sendDelivered(const CEvent &e)
{
    if (m_bSilent)
        return false;
    const int nSerial = nextSequence();
    if (!writable())
        return false;
    announceSent(QStringLiteral("NewEvent"), [&e] { return e.toVariant(); });
    writeToSocket(ClientCodec::withSerial(nSerial, m_pEventProcess->deliveryBody()));
    m_bIdle = false;
    return true;
}

bool CClient::sendMessage(int nSerial, const QString &strWord, const QVariant &payload)
{
    if (!writable())
        return false;
    announceSent(strWord, [&payload] { return payload; });
    writeToSocket(ClientCodec::encodeDocument(nSerial, strWord, payload));
    m_bIdle = false;
    return true;
}

bool CClient::writable()
{
    if (m_bSilent || m_bClosed || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_socket->bytesToWrite() > MaxPendingWrite) {
        qWarning() << "client" << peerText() << "user" << m_userName << "reads nothing;"
                   << m_socket->bytesToWrite() << "bytes wait to go out; connection dropped";
        m_bSilent = true;
        m_socket->abort();
        return false;
    }
    return true;
}

void CClient::announceSent(const QString &strWord, const std::function<QVariant()> &payload)
{
    // The display text is for the console only; skip building it when
    // nobody listens (500 clients times 25 events a second add up).
    static const QMetaMethod sentSignal = QMetaMethod::fromSignal(&CClient::eEventSent2Client);
    if (!isSignalConnected(sentSignal))
        return;
    const QVariant p = payload();
    const QString text = ClientCodec::describeMessage(strWord, p);
    if (!text.isEmpty())
        emit eEventSent2Client(p, text);
}

void CClient::sendBeat()
{
    if (m_bClosed || !m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    QJsonObject obj;
    obj.insert(QStringLiteral("b"), QStringLiteral("BEAT"));
    writeToSocket(QJsonDocument(obj).toJson(QJsonDocument::Indented));
}

void CClient::writeToSocket(const QByteArray &data)
{
#ifdef Q_OS_UNIX
    // With nothing queued in Qt, hand the bytes to the kernel directly.
    // QTcpSocket would buffer them, switch its write notifier on and off
    // again for every message, and with hundreds of connections that
    // bookkeeping costs as much as the send itself. Whatever the kernel does
    // not take, and any error, goes the ordinary way so Qt keeps the order
    // and reports the failure.
    if (m_socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(int(m_socket->socketDescriptor()), data.constData(), size_t(data.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == data.size())
            return;
        if (n > 0) {
            m_socket->write(data.constData() + n, data.size() - n);
            m_socket->flush();
            return;
        }
    }
#endif
    m_socket->write(data);
    m_socket->flush();
}

// --- timers -------------------------------------------------------------------

void CClient::slotHeartbeat()
{
    if (m_bIdle)
        sendBeat();
    else
        m_bIdle = true;
    if (++m_nMissedBeats > 3) {
        int more = 0;
        if (s_silentDrops.due(m_userName, &more))
            qWarning().noquote() << QStringLiteral("client %1 user \"%2\" silent for %3 heartbeats; disconnecting%4")
                                        .arg(peerText(), m_userName).arg(m_nMissedBeats).arg(moreText(more));
        m_bSilent = true;
        m_heartbeatTimer.stop();
        if (m_socket) {
            m_socket->disconnectFromHost();
            // disconnectFromHost waits for unsent data; a peer that reads
            // nothing would keep the connection for ever.
            QPointer<QTcpSocket> s = m_socket;
            QTimer::singleShot(m_timing.heartbeatMs, this, [s]() {
                if (s && s->state() != QAbstractSocket::UnconnectedState)
                    s->abort();
            });
        }
    }
}

void CClient::takeBacklog()
{
    m_backlog = m_pEventProcess ? m_pEventProcess->deliveredConditions() : QList<CEventProcess::Condition>();
}

void CClient::startBacklog()
{
    if (m_backlog.isEmpty()) {
        m_bResend = false;
        m_backlogTimer.stop();
        return;
    }
    m_backlogTimer.start(m_timing.backlogMs);
}

void CClient::resendBacklog()
{
    takeBacklog();
    startBacklog();
}

void CClient::slotBacklogTick()
{
    // Live events overtake the replay: a condition restored or reset since
    // the backlog was taken is skipped, so the replay never shows as
    // standing what the client has already seen go.
    while (!m_backlog.isEmpty()) {
        const CEventProcess::Condition c = m_backlog.takeFirst();
        if (m_pEventProcess && m_pEventProcess->isStanding(c.first)) {
            send(QStringLiteral("NewEvent"), c.second.toVariant());
            break;
        }
    }
    if (m_backlog.isEmpty()) {
        m_backlogTimer.stop();
        m_bResend = false;
    }
}

void CClient::slotResetFollowUp()
{
    m_resetTimer.stop();
    const ServerContext &ctx = ServerContext::instance();
    if (ctx.bRemote)
        slotSendDataToClient(ctx.remoteLinkOk ? 2 : 3, CEvent(), m_userName);
    m_bResend = true;
    resendBacklog();
}

void CClient::slotLoginDeadline()
{
    if (m_bClosed || isLoggedIn() || m_bLoginPending)
        return;
    int more = 0;
    if (s_deadlineDrops.due(QString(), &more))
        qWarning().noquote() << QStringLiteral("client %1 did not log in within %2 s; disconnecting%3")
                                    .arg(peerText()).arg(m_timing.loginDeadlineMs / 1000).arg(moreText(more));
    m_bSilent = true;
    if (m_socket)
        m_socket->abort();
}

// --- disconnection ------------------------------------------------------------

void CClient::clientDisconnected()
{
    if (m_bClosed)
        return;
    m_bClosed = true;
    m_bSilent = true;
    m_heartbeatTimer.stop();
    m_backlogTimer.stop();
    m_resetTimer.stop();
    m_loginTimer.stop();
    m_loginDeadline.stop();
    m_backlog.clear();
    m_pauseDeliveries.clear();
    qDebug() << "client" << peerText() << "user" << m_userName << "disconnected";
    log(0, 0, QStringLiteral("客户端退出!"));

    ClientAccounts &accounts = ClientAccounts::instance();
    // A login still in its pause holds the account as well.
    const QString held = m_bLoginPending ? m_pendingUser : m_userName;
    if (!held.isEmpty() && accounts.releaseLogin(held, m_nSession))
        emit eSetUserConnState(held, 0);
    m_nSession = 0;
    m_bLoginPending = false;

    disconnect();
    if (m_pEventProcess)
        disconnect(m_pEventProcess, nullptr, this, nullptr);
    if (m_socket)
        m_socket->disconnect(this);
    deleteLater();
}

void CClient::log(quint8 nPanelID, int nEventCode, const QString &strText)
{
    CEvent e;
    e.nPanelID = nPanelID;
    e.nEventCode = nEventCode;
    e.strNote = strText;
    e.strExtra = strText;
    e.strTime = nowText();
    emit eLog(e);
}
