#pragma once
// One connected monitoring centre: takes the lines of its queue and writes
// them back to back, sends the heartbeat "a" when nothing was sent for a
// while, and ends the connection when the centre does not answer it or stops
// taking bytes. Owns its socket, created in its own thread from the
// descriptor; it tells the main thread everything by queued signals.

#include "remote/blockingio.h"
#include "remote/remoteserver.h"

#include <QThread>

class RemoteThread : public QThread
{
    Q_OBJECT
public:
    RemoteThread(qintptr socketDescriptor, int queueId, const RemoteServer::Options &options,
                 QWaitCondition *queueWake, RemoteServer *parent);

    int queueId() const { return m_queueId; }
    // Whether run() took over the socket (read after finished()).
    bool tookOver() const { return m_tookOver; }
    // Ends the loop at its next wait; the caller then wait()s.
    void requestStop();

signals:
    void sigOutputString(QString strOutput);
    void indicateRemoteLight(uchar nStatus);
    // The socket is ours: the link is up.
    void linkStarted();

protected:
    void run() override;

private:
    // The next line of this centre's queue, waiting up to the idle time.
    bool takeLine(QString *line);

    const qintptr m_descriptor;
    const int m_queueId;
    const RemoteServer::Options m_options;
    QWaitCondition *m_queueWake;
    WorkerStop m_stop;
    std::atomic_bool m_tookOver{false}; // written by run(), read after finished()
};
