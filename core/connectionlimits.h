#pragma once
// Guards of the server's TCP listeners against peers that would use up its
// descriptors: the soft descriptor limit raised to the hard one at start-up,
// a bound on connections per peer address and in total, and a listener that
// keeps accepting after the system refused it a descriptor.

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>

class QTcpServer;

namespace ConnectionLimits {
// Raises the soft limit of open descriptors to the hard limit and logs both
// when it changed; returns the limit in force.
long raiseDescriptorLimit();
}

// Counts the open connections of one listener by peer address. Main thread.
class ConnectionLimiter
{
public:
    // name: the service in log lines ("client port 5999").
    ConnectionLimiter(const QString &name, int perAddress, int total);

    // Whether a new connection from address may stay; when it may, it counts
    // until release(). A refusal is logged once per episode of the address
    // (again only after a connection from it was admitted once more).
    bool admit(const QHostAddress &address);
    void release(const QHostAddress &address);

    int open() const { return m_nOpen; }
    int openFrom(const QHostAddress &address) const { return m_byAddress.value(key(address)); }
    // The text an address is counted by: a dual-stack listener reports IPv4
    // peers as ::ffff:a.b.c.d, which counts as a.b.c.d.
    static QString key(const QHostAddress &address);
    int refused() const { return m_nRefused; }
    int perAddress() const { return m_nPerAddress; }
    int total() const { return m_nTotal; }

private:
    QString m_name;
    int m_nPerAddress;
    int m_nTotal;
    int m_nOpen = 0;
    int m_nRefused = 0;
    QHash<QString, int> m_byAddress;
    QSet<QString> m_refusing;        // addresses refused since their last admission
    bool m_bTotalRefusing = false;
};

// Qt's listener stops accepting for good after an accept error other than a
// temporary one (no descriptor left, for one): from then on nobody could
// connect, a reconnecting operator included. This watches a listener, logs
// such errors once per episode (an episode ends with an accepted connection,
// or after a minute for listeners that take their connections themselves)
// and resumes accepting after a pause.
class AcceptGuard : public QObject
{
    Q_OBJECT
public:
    AcceptGuard(QTcpServer *server, const QString &name, int resumeMs = 1000);

private:
    void onAcceptError();
    void onNewConnection();

    QTcpServer *m_server;
    QString m_name;
    QTimer m_resume;
    bool m_bLogged = false;
    QElapsedTimer m_sinceLog;
};
