#pragma once
// Turns the bytes of one connection into one HttpRequest. It is fed whatever
// has arrived and answers complete, incomplete (feed it more) or invalid
// (answer 413 and close), with how many bytes it took: bytes after a complete
// request are left to the caller for the next one. No sockets, no threads;
// only a multipart body goes to a temporary file.

#include "http/httprequest.h"

#include <QByteArray>
#include <QScopedPointer>

class QIODevice;
class QTemporaryFile;

class HttpRequestParser
{
public:
    enum Status { Complete, Incomplete, Invalid };
    struct Result
    {
        Status status;
        qint64 consumed;
    };

    HttpRequestParser(int maxRequestSize, int maxMultiPartSize, const QHostAddress &peer = QHostAddress());
    ~HttpRequestParser();

    Result feed(const char *data, qint64 size);
    Result feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }

    HttpRequest &request() { return m_request; }
    // Whether any byte of this request has been taken.
    bool hasStarted() const { return m_taken > 0; }

    // Splits a multipart body read from in into the request's parameters and
    // uploaded files. False on a format or file error (logged).
    static bool parseMultipart(QIODevice &in, const QByteArray &boundary, HttpRequest &request);

private:
    bool takeLine(const QByteArray &line);
    bool parseRequestLine(const QByteArray &line);
    bool parseHeaderLine(const QByteArray &line);
    bool startBody();
    bool finish();
    void parseCookies();
    Status fail();

    HttpRequest m_request;
    const int m_maxRequestSize;
    const int m_maxMultiPartSize;
    QByteArray m_line;          // the line being read, at most m_maxRequestSize
    qint64 m_counted = 0;       // head and ordinary body bytes, against m_maxRequestSize
    qint64 m_taken = 0;         // every byte taken
    qint64 m_expected = 0;      // body bytes announced by content-length
    qint64 m_received = 0;      // body bytes taken
    QByteArray m_lastHeader;    // for folded continuation lines
    QByteArray m_boundary;      // set for a multipart body
    QScopedPointer<QTemporaryFile> m_multipartFile;
};
