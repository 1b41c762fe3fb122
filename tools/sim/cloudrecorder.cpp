#include "tools/sim/cloudrecorder.h"

#include <QDebug>
#include <QTcpSocket>

CloudRecorder::CloudRecorder(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CloudRecorder::onNewConnection);
}

CloudRecorder::~CloudRecorder()
{
    close();
}

bool CloudRecorder::listen(quint16 port, const QHostAddress &address)
{
    if (!m_server.listen(address, port ? port : m_port)) {
        qWarning() << "cloud recorder: cannot listen on" << address << (port ? port : m_port) << m_server.errorString();
        return false;
    }
    m_address = address;
    m_port = m_server.serverPort();
    return true;
}

void CloudRecorder::close()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_buffers.keys();
    m_buffers.clear();
    m_held.clear();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

QString CloudRecorder::address() const
{
    return QStringLiteral("%1:%2").arg(m_address.toString()).arg(m_port);
}

void CloudRecorder::setMode(Mode mode, int refuseStatus)
{
    m_mode = mode;
    m_refuseStatus = refuseStatus;
}

void CloudRecorder::release(bool accepted)
{
    const QList<QPointer<QTcpSocket>> held = m_held;
    m_held.clear();
    for (const QPointer<QTcpSocket> &s : held) {
        if (s)
            answer(s, accepted ? 200 : m_refuseStatus);
    }
}

void CloudRecorder::onNewConnection()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        m_buffers.insert(s, QByteArray());
        connect(s, &QTcpSocket::readyRead, this, [this, s] { onReadyRead(s); });
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            m_buffers.remove(s);
            s->deleteLater();
        });
    }
}

void CloudRecorder::answer(QTcpSocket *socket, int status)
{
    const QByteArray reason = status == 200 ? "OK" : "Refused";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Length: 0\r\n\r\n");
}

void CloudRecorder::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end())
        return;
    QByteArray &buf = *it;
    buf.append(socket->readAll());
    for (;;) {
        const int headerEnd = buf.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (buf.size() > MaxHeaderBytes) {
                answer(socket, 431);
                socket->disconnectFromHost();
                buf.clear();
            }
            return;
        }
        Post post;
        const QList<QByteArray> lines = buf.left(headerEnd).split('\n');
        const QList<QByteArray> request = lines.first().trimmed().split(' ');
        post.method = request.value(0);
        post.path = request.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                post.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
        }
        bool ok = true;
        const qint64 length = post.headers.value("content-length", "0").toLongLong(&ok);
        if (!ok || length < 0 || length > MaxBodyBytes) {
            answer(socket, 400);
            socket->disconnectFromHost();
            buf.clear();
            return;
        }
        if (buf.size() < headerEnd + 4 + length)
            return;
        post.body = buf.mid(headerEnd + 4, int(length));
        buf.remove(0, headerEnd + 4 + int(length));
        ++m_count;
        if (m_keep)
            m_posts.append(post);
        emit postReceived(post);
        if (m_mode == Hold)
            m_held.append(socket);
        else
            answer(socket, m_mode == Accept ? 200 : m_refuseStatus);
    }
}
