#pragma once
// The response to one request, written straight to the connection: the
// status line and headers go out once, before the first body bytes; a body
// written in one last part gets an exact Content-Length, one written in
// several parts is sent chunked (or raw until close with "Connection: close").

#include "http/httpcookie.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>

class QIODevice;
class QObject;
class QTcpSocket;

class HttpResponse
{
public:
    // out is the connection's socket (or any device in tests); not owned.
    explicit HttpResponse(QIODevice *out);

    // Replaces a header of the same name (names compare without case).
    void setHeader(const QByteArray &name, const QByteArray &value);
    void setHeader(const QByteArray &name, qint64 value);
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;

    void setStatus(int code, const QByteArray &description);
    int status() const { return m_status; }
    void setCookie(const HttpCookie &cookie);

    // Sends data as the next part; the last part finishes the response and
    // later writes are ignored.
    void write(const QByteArray &data, bool lastPart = false);
    // 303 See Other to url, body "Redirect".
    void redirect(const QByteArray &url);

    // A stream that outlives the request (server-sent events): once the
    // handler returns, the connection leaves the HTTP server, its socket is
    // moved to receiver's thread and adopt takes it there (owning it from
    // then on). The head must have gone out with "Connection: close" and no
    // length, so that nothing but the stream's own bytes follow.
    using Adopt = std::function<void(QTcpSocket *)>;
    void handOver(QObject *receiver, Adopt adopt);
    bool isHandedOver() const { return m_handOverTo != nullptr; }
    QObject *handOverReceiver() const { return m_handOverTo; }
    const Adopt &adopter() const { return m_adopt; }

    bool headersSent() const { return m_headersSent; }
    bool hasSentLastPart() const { return m_lastPartSent; }
    bool isChunked() const { return m_chunked; }

private:
    QByteArray headBytes() const;
    void send(const QByteArray &bytes);

    QIODevice *m_out;
    int m_status = 200;
    QByteArray m_description = "OK";
    QList<QPair<QByteArray, QByteArray>> m_headers; // in the order first set
    QList<HttpCookie> m_cookies;
    bool m_headersSent = false;
    bool m_lastPartSent = false;
    bool m_chunked = false;
    QObject *m_handOverTo = nullptr;
    Adopt m_adopt;
};
