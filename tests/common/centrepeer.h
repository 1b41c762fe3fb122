#pragma once
// A monitoring centre for tests: takes the server's frames apart, answers
// each heartbeat unless told not to, and keeps every frame with the time it
// arrived. Lives in the test's main thread.

#include "remote/remotecodec.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpSocket>

class CentrePeer : public QObject
{
    Q_OBJECT
public:
    bool answer = true;
    QList<QByteArray> frames;
    QList<qint64> frameMs;   // arrival of each frame, on clock
    qint64 closedMs = -1;    // when the server closed the connection
    QElapsedTimer clock;
    QTcpSocket socket;

    CentrePeer()
    {
        clock.start();
        connect(&socket, &QTcpSocket::readyRead, this, &CentrePeer::take);
        connect(&socket, &QTcpSocket::disconnected, this, [this]() { closedMs = clock.elapsed(); });
    }

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }

    // Paused, nothing is taken from the socket: the kernel's buffers fill
    // and the server's writes stall.
    void pause() { m_paused = true; socket.setReadBufferSize(1); }
    void resume() { m_paused = false; socket.setReadBufferSize(0); take(); }

    QStringList lines() const
    {
        QStringList out;
        for (const QByteArray &f : frames)
            if (f != "a")
                out << QString::fromUtf8(f);
        return out;
    }
    int heartbeats() const { return frames.count("a"); }
    int lineCount() const { return frames.size() - heartbeats(); }
    QString lastLine() const
    {
        for (int i = frames.size() - 1; i >= 0; --i)
            if (frames.at(i) != "a")
                return QString::fromUtf8(frames.at(i));
        return QString();
    }
    bool isClosed() const { return closedMs >= 0; }

private:
    void take()
    {
        if (m_paused)
            return;
        m_buffer += socket.readAll();
        RemoteCodec::FrameResult f;
        while ((f = RemoteCodec::decodeFrame(m_buffer, 1 << 24)).status == RemoteCodec::FrameResult::Complete) {
            m_buffer.remove(0, f.consumed);
            frames << f.payload;
            frameMs << clock.elapsed();
            if (f.payload == "a" && answer)
                socket.write("a");
        }
    }

    bool m_paused = false;
    QByteArray m_buffer;
};

// An event table with a fire alarm (code 21, class 1) and the communication
// code 17 (class 17); returns the file written.
inline QString writeRemoteEventTable(const QString &dir)
{
    QFile f(dir + QStringLiteral("/EventConfig.xml"));
    if (f.open(QIODevice::WriteOnly))
        f.write("<Config><EventType>"
                "<DevEvent EventData=\"1\"><Event EventData=\"1\" name=\"火警\" ComData=\"21\"/></DevEvent>"
                "<SysEvent EventData=\"17\"><Event EventData=\"17\" name=\"控制器通讯\" ComData=\"17\"/></SysEvent>"
                "</EventType></Config>");
    return f.fileName();
}
