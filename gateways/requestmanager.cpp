#include "gateways/requestmanager.h"

#include "http/httplog.h"
#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "gateways/httpmanager.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

RequestManager::RequestManager(HttpManager *parent)
    : HttpRequestHandler(parent), m_manager(qobject_cast<HttpManager *>(parent))
{
    qCDebug(lcHttp, "RequestManager: created");
}

RequestManager::~RequestManager()
{
    qCDebug(lcHttp, "RequestManager: deleted");
}

QByteArray RequestManager::acknowledgement(const QString &reply)
{
    static const QByteArray plain = "{\"err_code\":0,\"err_msg\":\"\"}"; // nearly every reply
    if (reply.isEmpty())
        return plain;
    const bool ok = reply.isEmpty() || reply == QLatin1String("OK");
    return QJsonDocument(QJsonObject{{QStringLiteral("err_code"), ok ? 0 : 1}, {QStringLiteral("err_msg"), reply}})
        .toJson(QJsonDocument::Compact);
}

void RequestManager::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray path = request.path();
    qCDebug(lcHttp, "RequestMapper: path=%s", path.constData());
    response.setHeader("Content-Type", QByteArray("application/json"));
    if (!path.startsWith("/postData")) {
        response.write("{\"test_id\":1,\"test_msg\":\"this is a test msg\"}", true);
        return;
    }
    if (!m_manager) {
        qCritical("RequestManager: no manager for %s", path.constData());
        response.setStatus(500, "Internal Server Error");
        response.write(acknowledgement(QStringLiteral("no receiver")), true);
        return;
    }
    response.write(acknowledgement(m_manager->handlePostData(request.body())), true);
}
