#pragma once
// The NB-IoT receiver's request handler: bodies posted to "/postData" go to
// the manager that owns it and are acknowledged in JSON; every other path
// gets a fixed test reply.

#include "http/httprequesthandler.h"

class HttpManager;

class RequestManager : public HttpRequestHandler
{
    Q_OBJECT
public:
    // The manager is the parent.
    explicit RequestManager(HttpManager *parent);
    ~RequestManager() override;

    void service(HttpRequest &request, HttpResponse &response) override;

    // {"err_code":0|1,"err_msg":reply}: 0 when the reply is "OK" or empty.
    static QByteArray acknowledgement(const QString &reply);

private:
    HttpManager *const m_manager;
};
