#include "remote/remotesearch.h"

#include "core/servercontext.h"
#include "remote/remotesearchthread.h"

#include <QDebug>
#include <QTcpSocket>

RemoteSearch::RemoteSearch(QObject *parent) : RemoteSearch(Options(), parent)
{
}

RemoteSearch::RemoteSearch(const Options &options, QObject *parent)
    : QTcpServer(parent), m_options(options)
{
}

RemoteSearch::~RemoteSearch()
{
    stopAll();
}

void RemoteSearch::stopAll()
{
    close();
    const QList<RemoteSearchThread *> workers = m_workers;
    m_workers.clear();
    for (RemoteSearchThread *w : workers) {
        disconnect(w, nullptr, this, nullptr);
        w->requestStop();
    }
    for (RemoteSearchThread *w : workers)
        w->wait();
    qDeleteAll(workers);
}

void RemoteSearch::incomingConnection(qintptr socketDescriptor)
{
    const bool accept = ServerContext::instance().remoteAccept;
    if (!accept || m_workers.size() >= MaxQueries) {
        if (accept)
            qWarning() << "query refused:" << MaxQueries << "queries are being served already";
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        return;
    }
    auto *worker = new RemoteSearchThread(socketDescriptor, m_options, this);
    connect(worker, &RemoteSearchThread::indicateRemoteLight, this, &RemoteSearch::handleRemoteLight);
    connect(worker, &QThread::finished, this, [this, worker]() {
        if (m_workers.removeOne(worker))
            worker->deleteLater();
    });
    m_workers.append(worker);
    worker->start();
}

void RemoteSearch::handleRemoteLight(uchar nStatus)
{
    emit indicateRemoteLight(nStatus);
}
