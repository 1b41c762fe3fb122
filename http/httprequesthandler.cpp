#include "http/httprequesthandler.h"

#include "http/httplog.h"
#include "http/httprequest.h"
#include "http/httpresponse.h"

#include <QDebug>

HttpRequestHandler::HttpRequestHandler(QObject *parent) : QObject(parent)
{
}

void HttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    qCritical("HttpRequestHandler: you need to override the service() function");
    qCDebug(lcHttp, "HttpRequestHandler: request=%s %s %s", request.method().constData(), request.path().constData(),
           request.version().constData());
    response.setStatus(501, "not implemented");
    response.write("501 not implemented", true);
}
