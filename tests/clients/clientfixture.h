#pragma once
// Loopback fixture for the client-protocol tests: a listener on a free port
// that gives every accepted connection a CClient, and a test peer that
// speaks to it over a real socket and collects the objects it receives.

#include "clients/cclient.h"
#include "clients/ceventprocess.h"
#include "common/clientpeer.h"
#include "core/cevent.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

struct ClientServer
{
    QTcpServer server;
    CEventProcess dispatcher;
    CClient::Timing timing;
    QList<QPointer<CClient>> clients;
    QList<int> reads;            // readyRead count per client, after the client handled it
    QList<CEvent> commands;      // eSendCommandDataToPanel
    QStringList logs;            // eLog texts
    QList<QPair<QString, int>> states; // eSetUserConnState

    ClientServer()
    {
        dispatcher.setTimersEnabled(false);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this]() {
            while (QTcpSocket *s = server.nextPendingConnection())
                attach(s);
        });
    }

    ~ClientServer()
    {
        for (const QPointer<CClient> &c : clients)
            delete c.data();
    }

    bool listen()
    {
        // Like the real listener: any address, so IPv4 peers show up as
        // IPv4-mapped addresses where the stack is dual.
        if (server.listen(QHostAddress::Any, 0))
            return true;
        return server.listen(QHostAddress::AnyIPv4, 0);
    }

    quint16 port() const { return server.serverPort(); }

    void attach(QTcpSocket *s)
    {
        auto *c = new CClient(&dispatcher);
        c->setTiming(timing);
        const int index = clients.size();
        clients.append(c);
        reads.append(0);
        c->setSocket(s);
        QObject::connect(s, &QTcpSocket::readyRead, c, [this, index]() { ++reads[index]; });
        QObject::connect(c, &CClient::eSendCommandDataToPanel, c,
                         [this](const CEvent &e) { commands.append(e); });
        QObject::connect(c, &CClient::eLog, c,
                         [this](const CEvent &e) { logs.append(e.strNote); });
        QObject::connect(c, &CClient::eSetUserConnState, c,
                         [this](const QString &n, int st) { states.append(qMakePair(n, st)); });
    }

    // Through the dispatcher to every client, as its pacing delivers it.
    void raise(const CEvent &e)
    {
        dispatcher.handleEvent(e);
        deliverAll();
    }
    void deliverAll()
    {
        while (dispatcher.waitingCount() > 0)
            dispatcher.tick();
    }

    void emitEvent(const CEvent &e, const QString &user = QStringLiteral("ALL"), int type = 1)
    {
        emit dispatcher.sendEventToClient(type, e, user);
    }
};

using Peer = ClientPeer;

// A peer connected from `from` once its client object exists; with `active`
// also once its first message (DATARECEIVED) has reached that client.
inline std::unique_ptr<Peer> connectPeer(ClientServer &srv, const QString &from = QStringLiteral("127.0.0.1"),
                                         bool active = false)
{
    auto p = std::make_unique<Peer>();
    const int index = srv.clients.size();
    if (!p->connectTo(srv.port(), from) || !QTest::qWaitFor([&]() { return srv.clients.size() > index; }, 5000))
        return nullptr;
    if (active) {
        p->command(QStringLiteral("DATARECEIVED"));
        if (!QTest::qWaitFor([&]() { return srv.reads.value(index) > 0; }, 5000))
            return nullptr;
    }
    return p;
}

// A peer logged in as `user` (its state change has been seen).
inline std::unique_ptr<Peer> loggedInPeer(ClientServer &srv, const QString &user, const QString &password)
{
    auto p = connectPeer(srv);
    if (!p)
        return nullptr;
    const int before = srv.states.count(qMakePair(user, 1));
    p->login(user, password);
    if (!QTest::qWaitFor([&]() { return srv.states.count(qMakePair(user, 1)) > before; }, 5000))
        return nullptr;
    return p;
}
