#pragma once
// A monitoring centre for tests: connects to the transmission port, takes
// the length-prefixed frames apart, answers each heartbeat (unless told not
// to) and keeps every frame with the time it arrived. Lives in the test's
// main thread; frames arrive while the test waits.

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
    // A paused centre takes nothing from its socket: with a tiny read buffer
    // the kernel's buffers fill and the server's writes stall.
    bool paused = false;
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

    QStringList lines() const
    {
        QStringList out;
        for (const QByteArray &f : frames) {
            if (f != "a")
                out << QString::fromUtf8(f);
        }
        return out;
    }
    void pause()
    {
        paused = true;
        socket.setReadBufferSize(1);
    }
    void resume()
    {
        paused = false;
        socket.setReadBufferSize(0);
        take();
    }

    int heartbeats() const { return frames.count("a"); }
    int lineCount() const { return frames.size() - heartbeats(); }
    QString lastLine() const
    {
        for (int i = frames.size() - 1; i >= 0; --i) {
            if (frames.at(i) != "a")
                return QString::fromUtf8(frames.at(i));
        }
        return QString();
    }
    bool isClosed() const { return closedMs >= 0; }

private:
    void take()
    {
        if (paused)
            return;
        m_buffer += socket.readAll();
        for (;;) {
            const RemoteCodec::FrameResult f = RemoteCodec::decodeFrame(m_buffer, 16 * 1024 * 1024);
            if (f.status != RemoteCodec::FrameResult::Complete)
                break;
            m_buffer.remove(0, f.consumed);
            frames << f.payload;
            frameMs << clock.elapsed();
            if (f.payload == "a" && answer)
                socket.write("a");
        }
    }

    QByteArray m_buffer;
};

// An event table with a fire alarm (code 21, class 1) and the communication
// code 17 (class 17); returns the file written.
inline QString writeRemoteEventTable(const QString &dir)
{
    const QString path = dir + QStringLiteral("/EventConfig.xml");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write("<Config><EventType>"
                "<DevEvent EventData=\"1\"><Event EventData=\"1\" name=\"火警\" ComData=\"21\" EventProperty=\"1\"/></DevEvent>"
                "<SysEvent EventData=\"17\"><Event EventData=\"17\" name=\"控制器通讯\" ComData=\"17\" "
                "EventProperty=\"1\" CommStatus=\"1\"/></SysEvent>"
                "</EventType></Config>");
    }
    return path;
}
