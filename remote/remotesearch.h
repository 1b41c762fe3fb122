#pragma once
// History queries on TCP 2000: one request per connection, answered from the
// event log "EventRec.db" or with a management document from "ManageDoc",
// both in the application directory. Lives in the main thread; each
// connection is served by its own RemoteSearchThread.

#include <QList>
#include <QTcpServer>

class RemoteSearchThread;

class RemoteSearch : public QTcpServer
{
    Q_OBJECT
public:
    struct Options
    {
        int requestWaitMs = 30000; // the whole request must arrive within this
        int closePauseMs = 1000;   // after the last reply, before the close
        int linePauseMs = 1;       // between two reply lines
        int writeWaitMs = 60000;   // a peer that takes no byte this long is dropped
    };
    // Queries served at one time; further connections are closed at once.
    static constexpr int MaxQueries = 64;

    explicit RemoteSearch(QObject *parent = nullptr);
    explicit RemoteSearch(const Options &options, QObject *parent = nullptr);
    // Stops every worker and waits for it.
    ~RemoteSearch() override;

    // Stops listening, ends every query and waits for the workers.
    void stopAll();

signals:
    void indicateRemoteLight(uchar nStatus);

public slots:
    void handleRemoteLight(uchar nStatus);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    Options m_options;
    QList<RemoteSearchThread *> m_workers; // main thread only
};
