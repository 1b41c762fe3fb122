#include "gateways/cloudposter.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
// config.ini may carry escapes such as "\n"; a header value must not.
QByteArray headerValue(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    for (char c : utf8) {
        if (uchar(c) >= 0x20 && c != 0x7f)
            out.append(c);
    }
    return out;
}
} // namespace

CloudPoster::CloudPoster(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
}

QUrl CloudPoster::postUrl(const QString &address)
{
    QString text = address.trimmed();
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    QUrl url(text, QUrl::StrictMode);
    if (url.isValid() && url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    return url;
}

void CloudPoster::initPostData(const QString &address)
{
    m_url = postUrl(address);
    if (!m_url.isValid() || m_url.host().isEmpty())
        qWarning().noquote() << QStringLiteral("cloud upload: address \"%1\" is not a usable URL; every post will be refused")
                                    .arg(address);
}

void CloudPoster::setPostInfo(const QString &strSubName, const QString &strUserName, const QString &strPassword,
                              const QString &strSign)
{
    m_subName = strSubName;
    m_userName = strUserName;
    m_password = strPassword;
    m_sign = strSign.toUtf8();
}

quint64 CloudPoster::sendPostData(const QJsonArray &array)
{
    return sendPostBody(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

quint64 CloudPoster::sendPostBody(const QByteArray &body)
{
    const quint64 request = ++m_lastRequest;
    if (!m_url.isValid() || m_url.host().isEmpty()) {
        QMetaObject::invokeMethod(this, [this, request] {
            emit postFinished(request, false, QStringLiteral("no usable address"));
        }, Qt::QueuedConnection);
        return request;
    }
    QNetworkRequest req(m_url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!m_userName.isEmpty() || !m_password.isEmpty())
        req.setRawHeader("Authorization", "Basic " + (m_userName + QLatin1Char(':') + m_password).toUtf8().toBase64());
    if (!m_subName.isEmpty())
        req.setRawHeader("X-Sub-Name", headerValue(m_subName));
    if (!m_sign.isEmpty())
        req.setRawHeader("X-Signature", QMessageAuthenticationCode::hash(body, m_sign, QCryptographicHash::Sha256).toHex());

    QNetworkReply *reply = m_manager->post(req, body);
    auto *limit = new QTimer(reply);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, reply, [reply] {
        reply->setProperty("answerLimitPassed", true);
        reply->abort();
    });
    limit->start(m_answerLimitMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply, request] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
            emit postFinished(request, true, QString());
            return;
        }
        QString reason;
        if (reply->property("answerLimitPassed").toBool())
            reason = QStringLiteral("no answer within %1 ms").arg(m_answerLimitMs);
        else if (status > 0)
            reason = QStringLiteral("HTTP %1").arg(status);
        else
            reason = reply->errorString();
        emit postFinished(request, false, reason);
    });
    return request;
}
