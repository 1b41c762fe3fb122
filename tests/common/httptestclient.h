#pragma once
// Talking to an HTTP server of the process on loopback from a test: curl as
// a child process and raw sockets. Every wait runs the event loop, because
// the listener accepts connections in the test's own thread.

#include <QByteArray>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTcpSocket>
#include <QtTest>

namespace HttpTest {

struct CurlResult
{
    int exitCode = -1;
    QByteArray out; // with -i: the head and the body
};

// curl -s with args; waits up to 20 s.
inline CurlResult curl(const QStringList &args)
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess p;
    QSignalSpy finished(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    p.start(QStringLiteral("curl"), QStringList{"-s", "--max-time", "15"} + args);
    CurlResult r;
    if (!p.waitForStarted(5000) || !(finished.count() || finished.wait(20000)))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    return r;
}

inline QByteArray bodyOf(const QByteArray &response)
{
    const int end = response.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : response.mid(end + 4);
}

// A raw connection that collects everything the server sends.
class RawClient
{
public:
    bool connectTo(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        QSignalSpy connected(&socket, &QTcpSocket::connected);
        return socket.state() == QAbstractSocket::ConnectedState || connected.wait(5000);
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // Waits until n responses with a Content-Length (or a chunked end) have arrived.
    bool waitResponses(int n, int timeoutMs = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (complete() < n && !closed && t.elapsed() < timeoutMs)
            QTest::qWait(5);
        return complete() >= n;
    }
    bool waitClosed(int timeoutMs = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (!closed && t.elapsed() < timeoutMs)
            QTest::qWait(5);
        return closed;
    }
    // Responses complete so far in received.
    int complete() const
    {
        int n = 0;
        int pos = 0;
        for (;;) {
            const int headEnd = received.indexOf("\r\n\r\n", pos);
            if (headEnd < 0)
                return n;
            const QByteArray head = received.mid(pos, headEnd - pos).toLower();
            int end = -1;
            const int cl = head.indexOf("content-length: ");
            if (cl >= 0) {
                const int len = head.mid(cl + 16, head.indexOf("\r\n", cl) - cl - 16).toInt();
                if (received.size() >= headEnd + 4 + len)
                    end = headEnd + 4 + len;
            } else if (head.contains("transfer-encoding: chunked")) {
                const int z = received.indexOf("\r\n0\r\n\r\n", headEnd);
                if (z >= 0)
                    end = z + 7;
            }
            if (end < 0)
                return n;
            ++n;
            pos = end;
        }
    }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
};

} // namespace HttpTest
