#include "http/httpresponse.h"

#include <QIODevice>

HttpResponse::HttpResponse(QIODevice *out) : m_out(out)
{
}

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    for (auto &h : m_headers) {
        if (qstricmp(h.first.constData(), name.constData()) == 0) {
            h.second = value;
            return;
        }
    }
    m_headers.append({name, value});
}

void HttpResponse::setHeader(const QByteArray &name, qint64 value)
{
    setHeader(name, QByteArray::number(value));
}

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &h : m_headers) {
        if (qstricmp(h.first.constData(), name.constData()) == 0)
            return h.second;
    }
    return QByteArray();
}

bool HttpResponse::hasHeader(const QByteArray &name) const
{
    for (const auto &h : m_headers) {
        if (qstricmp(h.first.constData(), name.constData()) == 0)
            return true;
    }
    return false;
}

void HttpResponse::setStatus(int code, const QByteArray &description)
{
    m_status = code;
    m_description = description;
}

void HttpResponse::setCookie(const HttpCookie &cookie)
{
    if (!cookie.name.isEmpty())
        m_cookies.append(cookie);
}

void HttpResponse::send(const QByteArray &bytes)
{
    if (m_out && m_out->isOpen())
        m_out->write(bytes);
}

QByteArray HttpResponse::headBytes() const
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(m_status) + ' ' + m_description + "\r\n";
    for (const auto &h : m_headers)
        head += h.first + ": " + h.second + "\r\n";
    for (const HttpCookie &c : m_cookies)
        head += "Set-Cookie: " + c.toByteArray() + "\r\n";
    head += "\r\n";
    return head;
}

void HttpResponse::write(const QByteArray &data, bool lastPart)
{
    if (m_lastPartSent)
        return;
    if (!m_headersSent) {
        if (lastPart && !hasHeader("Content-Length")) {
            setHeader("Content-Length", qint64(data.size()));
        } else if (!lastPart && !hasHeader("Content-Length")
                   && qstricmp(header("Connection").constData(), "close") != 0) {
            setHeader("Transfer-Encoding", QByteArray("chunked"));
            m_chunked = true;
        }
        // Head and a body in one piece go out in one write: two small
        // segments could wait for a delayed acknowledgement in between.
        m_headersSent = true;
        if (!m_chunked) {
            send(headBytes() + data);
            m_lastPartSent = lastPart;
            return;
        }
        send(headBytes());
    }
    if (m_chunked) {
        // An empty chunk would read as the end of the body: only the last part sends one.
        if (!data.isEmpty())
            send(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n");
        if (lastPart)
            send("0\r\n\r\n");
    } else if (!data.isEmpty()) {
        send(data);
    }
    m_lastPartSent = lastPart;
}

void HttpResponse::redirect(const QByteArray &url)
{
    setStatus(303, "See Other");
    setHeader("Location", url);
    write("Redirect", true);
}

void HttpResponse::handOver(QObject *receiver, Adopt adopt)
{
    m_handOverTo = receiver;
    m_adopt = std::move(adopt);
}
