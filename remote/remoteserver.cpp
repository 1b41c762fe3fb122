#include "remote/remoteserver.h"

#include "core/cevent.h"
#include "core/servercontext.h"
#include "remote/remotecodec.h"
#include "remote/remotethread.h"

#include <QDateTime>
#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

RemoteServer::RemoteServer(QObject *parent) : RemoteServer(Options(), parent)
{
}

RemoteServer::RemoteServer(const Options &options, QObject *parent)
    : QTcpServer(parent), m_options(options)
{
    ServerContext &ctx = ServerContext::instance();
    if (!ctx.remoteQueueLock)
        ctx.remoteQueueLock = new QMutex;
}

RemoteServer::~RemoteServer()
{
    stopAll();
}

void RemoteServer::stopAll()
{
    m_stopped = true;
    close();
    const QList<RemoteThread *> workers = m_workers;
    m_workers.clear();
    for (RemoteThread *w : workers) {
        disconnect(w, nullptr, this, nullptr);
        w->requestStop();
    }
    ServerContext &ctx = ServerContext::instance();
    for (RemoteThread *w : workers) {
        w->wait();
        QMutexLocker locker(ctx.remoteQueueLock);
        ctx.remoteQueues.remove(w->queueId());
    }
    qDeleteAll(workers);
    m_overflowing.clear();
    // Every link of the process was one of ours.
    ctx.remoteLinkCount = 0;
}

void RemoteServer::newDataToSend(const CEvent &e)
{
    if (e.nEventType == 0)
        return;
    if (e.nEventNo < 0) // a code the event table does not know
        return;
    const ServerContext &ctx = ServerContext::instance();
    // The time of forming the line, not the event's own.
    broadcastToRemote(RemoteCodec::eventLine(e, e.strEventName, nowText(),
                                             ctx.serverAddress.toString()));
}

void RemoteServer::broadcastToRemote(const QString &line)
{
    emit indicateRemoteLight(2);
    ServerContext &ctx = ServerContext::instance();
    QMutexLocker locker(ctx.remoteQueueLock);
    for (auto it = ctx.remoteQueues.begin(); it != ctx.remoteQueues.end(); ++it) {
        if (it->size() < m_options.maxQueuedLines / 2) {
            // Caught up well below the limit: a new overflow is a new episode.
            m_overflowing.remove(it.key());
        } else if (it->size() >= m_options.maxQueuedLines) {
            // A centre that takes nothing must not hold every event since it
            // stopped: the newest lines matter most to a monitoring centre.
            if (!m_overflowing.contains(it.key())) {
                m_overflowing.insert(it.key());
                qWarning() << "remote centre" << it.key() << "takes no lines:" << it->size()
                           << "lines wait; the oldest are dropped until it catches up";
            }
            it->removeFirst();
        }
        it->append(line);
    }
    m_queueWake.wakeAll();
}

void RemoteServer::incomingConnection(qintptr socketDescriptor)
{
    ServerContext &ctx = ServerContext::instance();
    if (!ctx.remoteAccept || m_workers.size() >= MaxCentres) {
        if (ctx.remoteAccept)
            qWarning() << "remote centre refused:" << MaxCentres << "centres are connected already";
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        return;
    }
    const int id = ++m_nextId;
    {
        QMutexLocker locker(ctx.remoteQueueLock);
        ctx.remoteQueues.insert(id, QStringList());
    }
    auto *worker = new RemoteThread(socketDescriptor, id, m_options, &m_queueWake, this);
    connect(worker, &RemoteThread::sigOutputString, this, &RemoteServer::handleStrOutput);
    connect(worker, &RemoteThread::indicateRemoteLight, this, &RemoteServer::handleRemoteLight);
    // After stopAll() a start or end still on its way is stale.
    connect(worker, &RemoteThread::linkStarted, this, [this, worker]() {
        if (m_workers.contains(worker))
            linkStarted();
    });
    connect(worker, &QThread::finished, this, [this, worker]() {
        if (m_workers.contains(worker))
            workerFinished(worker);
    });
    m_workers.append(worker);
    worker->start();
}

void RemoteServer::announce(int nEventType, uchar nLight, bool lightWithoutClients)
{
    const int clients = m_clientNotice ? m_clientNotice(nEventType) : 0;
    if (clients > 0 || lightWithoutClients)
        emit indicateRemoteLight(nLight);
    emit sigStrOutput(QStringLiteral("发送数据到所有客户端- Command:")
                      + (nEventType == 2 ? QStringLiteral("RemoteOK") : QStringLiteral("RemoteFailed")));
}

void RemoteServer::linkStarted()
{
    // The link fields are written here, in the main thread, where the client
    // protocol reads them.
    ServerContext &ctx = ServerContext::instance();
    ++ctx.remoteLinkCount;
    ctx.remoteLinkOk = true;
    // Light 1 only with a client to tell as well; without one the lamp
    // changes at the first heartbeat after a line.
    announce(2, 1, false);
}

void RemoteServer::workerFinished(RemoteThread *worker)
{
    m_workers.removeOne(worker);
    m_overflowing.remove(worker->queueId());
    ServerContext &ctx = ServerContext::instance();
    {
        QMutexLocker locker(ctx.remoteQueueLock);
        ctx.remoteQueues.remove(worker->queueId());
    }
    if (worker->tookOver()) {
        ctx.remoteDropTime = QDateTime::currentDateTime();
        m_lastDrop.start();
        if (ctx.remoteLinkCount > 0)
            --ctx.remoteLinkCount;
        // Precise: a coarse timer may fire up to 5 % early, inside the guard,
        // and the loss would never be reported.
        QTimer::singleShot(m_options.failureCheckMs, Qt::PreciseTimer, this, &RemoteServer::sltTimmer);
    } else {
        ctx.remoteLinkOk = false;
        announce(3, 0, true);
    }
    worker->deleteLater();
}

void RemoteServer::sltTimmer()
{
    ServerContext &ctx = ServerContext::instance();
    if (m_stopped || ctx.remoteLinkCount > 0)
        return;
    if (m_lastDrop.isValid() && m_lastDrop.elapsed() < m_options.failureGuardMs)
        return;
    ctx.remoteLinkOk = false;
    qWarning() << "remote centre link lost: no centre connected since" << ctx.remoteDropTime.toString(Qt::ISODate);
    // The panels' lamp goes to "lost" also when no client is connected.
    announce(3, 0, true);
}

void RemoteServer::handleRemoteLight(uchar nStatus)
{
    emit indicateRemoteLight(nStatus);
}

void RemoteServer::handleStrOutput(QString str)
{
    emit sigStrOutput(str);
}
