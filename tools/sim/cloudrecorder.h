#pragma once
// The cloud platform's side of the upload, for tests and benchmarks: a small
// HTTP/1.1 server on loopback that records every request and answers as it
// is told (accept, refuse with a status, or hold the answer back). close()
// and listen() again on the same port play an outage.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;

class CloudRecorder : public QObject
{
    Q_OBJECT
public:
    struct Post
    {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    enum Mode {
        Accept, // answer 200
        Refuse, // answer refuseStatus()
        Hold    // keep the answer back until release()
    };

    static constexpr int MaxHeaderBytes = 64 * 1024;
    static constexpr int MaxBodyBytes = 256 * 1024 * 1024;

    explicit CloudRecorder(QObject *parent = nullptr);
    ~CloudRecorder() override;

    // Port 0 picks a free port; listening again after close() reuses it.
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    // Stops listening and cuts every connection.
    void close();
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>", as a site's Server/httpIP would name it.
    QString address() const;

    void setMode(Mode mode, int refuseStatus = 500);
    // Answers every held request as an accepted one (true) or a refused one.
    void release(bool accepted);
    // Keep every post in posts() (the default); a benchmark only listens to postReceived.
    void setKeepPosts(bool keep) { m_keep = keep; }

    const QList<Post> &posts() const { return m_posts; }
    // Posts received since the last clearPosts(), kept or not.
    int postCount() const { return m_count; }
    void clearPosts()
    {
        m_posts.clear();
        m_count = 0;
    }

signals:
    void postReceived(const CloudRecorder::Post &post);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    static void answer(QTcpSocket *socket, int status);

    QTcpServer m_server;
    quint16 m_port = 0;
    QHostAddress m_address;
    Mode m_mode = Accept;
    int m_refuseStatus = 500;
    bool m_keep = true;
    int m_count = 0;
    QList<Post> m_posts;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_held;
};
