#include "http/httprequestparser.h"

#include "http/httplog.h"

#include <QDebug>
#include <QTemporaryFile>

#include <cstring>

HttpRequestParser::HttpRequestParser(int maxRequestSize, int maxMultiPartSize, const QHostAddress &peer)
    : m_maxRequestSize(maxRequestSize), m_maxMultiPartSize(maxMultiPartSize)
{
    m_request.m_peerAddress = peer;
}

HttpRequestParser::~HttpRequestParser() = default;

HttpRequestParser::Status HttpRequestParser::fail()
{
    m_request.m_status = HttpRequest::abort;
    return Invalid;
}

HttpRequestParser::Result HttpRequestParser::feed(const char *data, qint64 size)
{
    qint64 pos = 0;
    while (pos < size) {
        const HttpRequest::RequestStatus state = m_request.m_status;
        if (state == HttpRequest::complete)
            return {Complete, pos};
        if (state == HttpRequest::abort)
            return {Invalid, pos};

        if (state != HttpRequest::waitForBody) {
            const void *nl = std::memchr(data + pos, '\n', size_t(size - pos));
            const qint64 end = nl ? static_cast<const char *>(nl) - data + 1 : size;
            const qint64 take = end - pos;
            m_counted += take;
            m_taken += take;
            if (m_counted > m_maxRequestSize) {
                qWarning("HttpRequest: received too many bytes");
                return {fail(), end};
            }
            m_line.append(data + pos, int(take));
            pos = end;
            if (!nl)
                return {Incomplete, pos};
            QByteArray line;
            line.swap(m_line);
            if (!takeLine(line))
                return {fail(), pos};
            continue;
        }

        const qint64 take = qMin(m_expected - m_received, size - pos);
        m_received += take;
        m_taken += take;
        if (m_boundary.isEmpty()) {
            m_counted += take;
            if (m_counted > m_maxRequestSize) {
                qWarning("HttpRequest: received too many bytes");
                return {fail(), pos + take};
            }
            m_request.m_body.append(data + pos, int(take));
        } else {
            if (m_received > m_maxMultiPartSize) {
                qWarning("HttpRequest: received too many multipart bytes");
                return {fail(), pos + take};
            }
            if (m_multipartFile->write(data + pos, take) != take) {
                qCritical("HttpRequest: Error writing temp file for multipart body");
                return {fail(), pos + take};
            }
        }
        pos += take;
        if (m_received == m_expected && !finish())
            return {fail(), pos};
    }
    switch (m_request.m_status) {
    case HttpRequest::complete: return {Complete, pos};
    case HttpRequest::abort: return {Invalid, pos};
    default: return {Incomplete, pos};
    }
}

bool HttpRequestParser::takeLine(const QByteArray &raw)
{
    // Tolerate a bare "\n" line end as well as "\r\n".
    QByteArray line = raw;
    line.chop(line.endsWith("\r\n") ? 2 : 1);
    if (m_request.m_status == HttpRequest::waitForRequest) {
        if (line.isEmpty())
            return true; // blank lines before a request line are allowed
        return parseRequestLine(line);
    }
    if (line.isEmpty())
        return startBody();
    return parseHeaderLine(line);
}

bool HttpRequestParser::parseRequestLine(const QByteArray &line)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !parts.at(2).contains("HTTP")) {
        qWarning("HttpRequest: received broken HTTP request, invalid first line");
        return false;
    }
    HttpRequest &r = m_request;
    r.m_method = parts.at(0);
    r.m_rawPath = parts.at(1);
    r.m_version = parts.at(2);
    const int q = r.m_rawPath.indexOf('?');
    r.m_path = QByteArray::fromPercentEncoding(q < 0 ? r.m_rawPath : r.m_rawPath.left(q));
    if (q >= 0)
        r.addQueryParameters(r.m_rawPath.mid(q + 1));
    r.m_status = HttpRequest::waitForHeader;
    qCDebug(lcHttp, "HttpRequest: from %s: %s", qPrintable(r.m_peerAddress.toString()), line.constData());
    return true;
}

bool HttpRequestParser::parseHeaderLine(const QByteArray &line)
{
    if ((line.startsWith(' ') || line.startsWith('\t')) && !m_lastHeader.isEmpty()) {
        // A folded line continues the previous header's value.
        auto it = m_request.m_headers.find(m_lastHeader);
        if (it != m_request.m_headers.end())
            it.value() += ' ' + line.trimmed();
        return true;
    }
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        qWarning("HttpRequest: ignoring broken header line %s", line.left(80).constData());
        return true;
    }
    m_lastHeader = line.left(colon).trimmed().toLower();
    m_request.m_headers.insert(m_lastHeader, line.mid(colon + 1).trimmed());
    return true;
}

bool HttpRequestParser::startBody()
{
    HttpRequest &r = m_request;
    const QByteArray encoding = r.header("transfer-encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity") {
        // Without this the chunks would be read as the next request.
        qWarning("HttpRequest: request body with transfer-encoding %s is not supported", encoding.constData());
        return false;
    }
    const QList<QByteArray> lengths = r.headers("content-length");
    if (!lengths.isEmpty()) {
        bool ok = false;
        m_expected = lengths.first().trimmed().toLongLong(&ok);
        for (const QByteArray &l : lengths)
            ok = ok && l.trimmed() == lengths.first().trimmed();
        if (!ok || m_expected < 0) {
            qWarning("HttpRequest: invalid content-length %s", lengths.join(',').left(80).constData());
            return false;
        }
    }
    const QByteArray type = r.header("content-type");
    const int b = type.indexOf("boundary=");
    if (type.startsWith("multipart/form-data") && b >= 0) {
        m_boundary = type.mid(b + 9);
        const int semicolon = m_boundary.indexOf(';');
        if (semicolon >= 0)
            m_boundary.truncate(semicolon);
        m_boundary = m_boundary.trimmed();
        if (m_boundary.size() > 1 && m_boundary.startsWith('"') && m_boundary.endsWith('"'))
            m_boundary = m_boundary.mid(1, m_boundary.size() - 2);
    }
    if (m_expected == 0)
        return finish();
    if (m_boundary.isEmpty()) {
        if (m_expected > m_maxRequestSize) {
            qWarning("HttpRequest: expected body is too large");
            return false;
        }
    } else {
        if (m_expected > m_maxMultiPartSize) {
            qWarning("HttpRequest: expected multipart body is too large");
            return false;
        }
        m_multipartFile.reset(new QTemporaryFile);
        if (!m_multipartFile->open()) {
            qCritical("HttpRequest: Error writing temp file for multipart body");
            return false;
        }
    }
    r.m_status = HttpRequest::waitForBody;
    return true;
}

bool HttpRequestParser::finish()
{
    HttpRequest &r = m_request;
    parseCookies();
    if (r.header("content-type").startsWith("application/x-www-form-urlencoded"))
        r.addQueryParameters(r.m_body);
    if (m_multipartFile) {
        if (!m_multipartFile->seek(0)) {
            qWarning("HttpRequest: cannot read temp file, %s", qPrintable(m_multipartFile->errorString()));
            return false;
        }
        const bool ok = parseMultipart(*m_multipartFile, m_boundary, r);
        m_multipartFile.reset();
        if (!ok)
            return false;
    }
    r.m_status = HttpRequest::complete;
    return true;
}

void HttpRequestParser::parseCookies()
{
    for (const QByteArray &header : m_request.headers("cookie")) {
        for (const QByteArray &part : header.split(';')) {
            const int eq = part.indexOf('=');
            if (eq <= 0)
                continue;
            QByteArray value = part.mid(eq + 1).trimmed();
            if (value.size() > 1 && value.startsWith('"') && value.endsWith('"'))
                value = value.mid(1, value.size() - 2);
            m_request.m_cookies.insert(part.left(eq).trimmed(), value);
        }
    }
}
