#pragma once
// A client program's side of the client protocol over a real socket, for the
// tests and the benchmarks: requests written through the client codec, every
// object received split out and kept (or handed to onMessage as it arrives).

#include "clients/clientcodec.h"
#include "clients/jsonsplitter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTcpSocket>
#include <QTest>

#include <functional>

struct ClientPeer
{
    QTcpSocket socket;
    QByteArray raw;           // every byte received (unless onMessage is set)
    QList<QJsonObject> msgs;  // in arrival order (unless onMessage is set)
    // Set, it takes each object instead of raw and msgs (a benchmark's peer
    // keeps nothing).
    std::function<void(const QJsonObject &)> onMessage;
    QByteArray pending;
    JsonSplitter splitter;
    bool loggedIn = false;    // "LogOK_Mulsys" has arrived

    ClientPeer()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this]() { readAll(); });
    }

    // from: the source address, 127.0.0.2 stands for a remote machine.
    bool connectTo(quint16 port, const QString &from = QStringLiteral("127.0.0.1"))
    {
        if (!socket.bind(QHostAddress(from), 0))
            return false;
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return socket.waitForConnected(5000);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    void send(const QJsonObject &o) { send(QJsonDocument(o).toJson(QJsonDocument::Indented)); }
    void command(const QString &word) { send(QJsonObject{{QStringLiteral("b"), word}}); }

    void login(const QString &user, const QString &password, const QString &word = QStringLiteral("LOGIN"))
    {
        ClientCodec::Request r;
        r.kind = word == QLatin1String("LOGOUT") ? ClientCodec::Request::Logout : ClientCodec::Request::Login;
        r.word = word;
        r.user.userName = user;
        r.user.password = password;
        r.user.server = QStringLiteral("srv");
        r.user.nNumber = 7;
        r.user.strText = QStringLiteral("extra");
        send(ClientCodec::encodeRequest(r));
    }

    // Connects, logs in and waits for the server's welcome (the server may
    // run in this thread: the wait turns the event loop).
    bool logIn(quint16 port, const QString &user, const QString &password, const QString &from = QStringLiteral("127.0.0.1"))
    {
        if (!connectTo(port, from))
            return false;
        login(user, password);
        return QTest::qWaitFor([this] { return loggedIn; }, 5000);
    }

    QStringList words() const
    {
        QStringList w;
        for (const QJsonObject &o : msgs)
            w << o.value(QStringLiteral("b")).toString();
        return w;
    }
    int count(const QString &word) const { return words().count(word); }
    QStringList keys(int i) const { return msgs.value(i).keys(); }

private:
    void readAll()
    {
        const QByteArray data = socket.readAll();
        if (!onMessage)
            raw += data;
        pending += data;
        for (;;) {
            const JsonSplitter::Result r = splitter.next(pending);
            pending.remove(0, r.consumed);
            if (r.status == JsonSplitter::Complete) {
                const QJsonObject o = QJsonDocument::fromJson(r.object).object();
                if (o.value(QLatin1String("b")).toString() == QLatin1String("LogOK_Mulsys"))
                    loggedIn = true;
                if (onMessage)
                    onMessage(o);
                else
                    msgs.append(o);
            } else if (r.consumed == 0) {
                break;
            }
        }
    }
};
