#pragma once
// The base of the objects that answer requests. One handler serves every
// connection of its listener, so service() runs in several connection
// threads at once and must keep no per-request state in members.

#include <QObject>

class HttpRequest;
class HttpResponse;

class HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(QObject *parent = nullptr);
    // Answers 501: a handler is meant to override it.
    virtual void service(HttpRequest &request, HttpResponse &response);
};
