#pragma once
// Our own posting layer for the cloud platform: one HTTP POST of a compact
// JSON array of upload records per call. Authentication, when configured:
// HTTP Basic from user and password, the account's sub-name in "X-Sub-Name"
// and an HMAC-SHA256 of the exact body bytes, keyed by the sign, in
// "X-Signature" (lower-case hex). A post counts as accepted only for a 2xx
// answer within the answer limit.
//
// Never blocks: a call starts the request and returns its number; the
// verdict arrives later through postFinished, in the main thread's event loop.

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

class CloudPoster : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultAnswerLimitMs = 5000;

    explicit CloudPoster(QObject *parent = nullptr);

    // The Server/httpIP text as a URL: "http://" when it names no scheme,
    // "/" when it names no path.
    static QUrl postUrl(const QString &address);

    void initPostData(const QString &address);
    void setPostInfo(const QString &strSubName, const QString &strUserName, const QString &strPassword,
                     const QString &strSign);
    // A slower answer counts as refused (tests shorten it).
    void setAnswerLimit(int ms) { m_answerLimitMs = ms; }
    QUrl url() const { return m_url; }

    quint64 sendPostData(const QJsonArray &array);
    // The same with the array already serialised (compact, as sent).
    quint64 sendPostBody(const QByteArray &body);

    quint64 requestsStarted() const { return m_lastRequest; }

signals:
    // accepted: a 2xx answer in time. reason names the refusal for the log.
    void postFinished(quint64 request, bool accepted, const QString &reason);

private:
    QNetworkAccessManager *m_manager;
    QUrl m_url;
    QString m_subName;
    QString m_userName;
    QString m_password;
    QByteArray m_sign;
    int m_answerLimitMs = DefaultAnswerLimitMs;
    quint64 m_lastRequest = 0;
};
