#include "remote/remotethread.h"

#include "core/servercontext.h"
#include "remote/remotecodec.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QTcpSocket>

RemoteThread::RemoteThread(qintptr socketDescriptor, int queueId, const RemoteServer::Options &options,
                           QWaitCondition *queueWake, RemoteServer *parent)
    : QThread(parent)
    , m_descriptor(socketDescriptor)
    , m_queueId(queueId)
    , m_options(options)
    , m_queueWake(queueWake)
{
}

void RemoteThread::requestStop()
{
    m_stop.request();
    QMutexLocker locker(ServerContext::instance().remoteQueueLock);
    m_queueWake->wakeAll();
}

bool RemoteThread::takeLine(QString *line)
{
    ServerContext &ctx = ServerContext::instance();
    QMutexLocker locker(ctx.remoteQueueLock);
    const QDeadlineTimer deadline(m_options.idleMs);
    for (;;) {
        if (m_stop.isRequested())
            return false;
        auto it = ctx.remoteQueues.find(m_queueId);
        if (it != ctx.remoteQueues.end() && !it->isEmpty()) {
            *line = it->takeFirst();
            return true;
        }
        if (deadline.hasExpired())
            return false;
        // Every broadcast wakes all centres; the others go back to sleep.
        m_queueWake->wait(ctx.remoteQueueLock, deadline);
    }
}

void RemoteThread::run()
{
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(m_descriptor)) {
        qWarning() << "remote centre: cannot take over connection" << m_descriptor << ":" << socket.errorString();
        return;
    }
    // The centre's bytes are never interpreted; a chatty one must not fill our memory.
    socket.setReadBufferSize(4096);
    m_tookOver = true;
    const QString peer = socket.peerAddress().toString();
    qDebug() << "remote centre" << peer << "connected, connection" << m_descriptor;
    emit linkStarted();

    // Why the loop ended: a closed connection is routine, a centre that went
    // quiet while connected is worth a warning.
    const auto ended = [&](const QString &quiet) {
        if (m_stop.isRequested())
            return;
        if (socket.state() == QAbstractSocket::ConnectedState)
            qWarning().noquote() << "remote centre" << peer << quiet << "- connection dropped";
        else
            qDebug() << "remote centre" << peer << "closed the connection:" << socket.errorString();
    };
    bool sentData = false;
    QString line;
    LinePacer pacer(m_options.linePauseMs);
    while (!m_stop.isRequested()) {
        if (takeLine(&line)) {
            if (!pacer.waitTurn(m_stop))
                break;
            emit sigOutputString(QStringLiteral("远传信息: ") + line + QStringLiteral("标示：")
                                 + QString::number(m_descriptor));
            if (!BlockingIo::writeAll(socket, RemoteCodec::encodeFrame(line.toUtf8()), m_options.writeStallMs, m_stop)) {
                ended(QStringLiteral("took no byte for %1 ms").arg(m_options.writeStallMs));
                break;
            }
            sentData = true;
            continue;
        }
        if (m_stop.isRequested())
            break;
        if (sentData)
            emit indicateRemoteLight(1);
        sentData = false;
        // Only an answer to this heartbeat counts, not bytes sent before it.
        socket.waitForReadyRead(0);
        socket.readAll();
        if (!BlockingIo::writeAll(socket, RemoteCodec::heartbeatFrame(), m_options.writeStallMs, m_stop)) {
            ended(QStringLiteral("took no byte for %1 ms").arg(m_options.writeStallMs));
            break;
        }
        if (!BlockingIo::waitReadable(socket, m_options.answerMs, m_stop)) {
            ended(QStringLiteral("did not answer the heartbeat within %1 ms").arg(m_options.answerMs));
            break;
        }
    }
    socket.abort();
    qDebug() << "remote centre" << peer << "connection" << m_descriptor << "ended";
}
