#pragma once
// One parsed HTTP request as a request handler sees it. Filled by
// HttpRequestParser; header names are kept in lower case, repeated headers
// and parameters keep every value.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QSharedPointer>

class QTemporaryFile;

class HttpRequest
{
public:
    enum RequestStatus { waitForRequest, waitForHeader, waitForBody, complete, abort };

    RequestStatus status() const { return m_status; }
    QByteArray method() const { return m_method; }
    // The path before "?", percent-decoded.
    QByteArray path() const { return m_path; }
    // The path as it stood on the request line, query included.
    QByteArray rawPath() const { return m_rawPath; }
    QByteArray version() const { return m_version; }
    QHostAddress peerAddress() const { return m_peerAddress; }

    // By lower-case name; the first value when there are several.
    QByteArray header(const QByteArray &name) const { return m_headers.value(name.toLower()); }
    QList<QByteArray> headers(const QByteArray &name) const { return m_headers.values(name.toLower()); }
    const QMultiMap<QByteArray, QByteArray> &headerMap() const { return m_headers; }

    // Query string, url-encoded body and plain multipart parts, decoded.
    QByteArray parameter(const QByteArray &name) const { return m_parameters.value(name); }
    QList<QByteArray> parameters(const QByteArray &name) const { return m_parameters.values(name); }
    const QMultiMap<QByteArray, QByteArray> &parameterMap() const { return m_parameters; }

    QByteArray body() const { return m_body; }
    QByteArray cookie(const QByteArray &name) const { return m_cookies.value(name); }
    const QMap<QByteArray, QByteArray> &cookieMap() const { return m_cookies; }

    // The file uploaded under a multipart field name, positioned at its
    // start; null when there is none. Removed with the request.
    QTemporaryFile *uploadedFile(const QByteArray &fieldName) const;

    // "%41+b" -> "A b".
    static QByteArray urlDecode(const QByteArray &text);

private:
    friend class HttpRequestParser;
    void addQueryParameters(const QByteArray &query);

    RequestStatus m_status = waitForRequest;
    QByteArray m_method;
    QByteArray m_path;
    QByteArray m_rawPath;
    QByteArray m_version;
    QHostAddress m_peerAddress;
    QMultiMap<QByteArray, QByteArray> m_headers;
    QMultiMap<QByteArray, QByteArray> m_parameters;
    QMap<QByteArray, QByteArray> m_cookies;
    QByteArray m_body;
    QMap<QByteArray, QSharedPointer<QTemporaryFile>> m_uploadedFiles;
};
