#include "gateways/httpmanager.h"

#include "core/apppaths.h"
#include "http/httplistener.h"
#include "http/httplog.h"
#include "gateways/requestmanager.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>

HttpManager::HttpManager(QObject *parent) : QObject(parent)
{
}

HttpManager::~HttpManager()
{
    // The listener's handlers call the request manager: they end first.
    stopListener();
}

void HttpManager::stopListener()
{
    delete m_listener;
    m_listener = nullptr;
}

QString HttpManager::handlePostData(const QByteArray &)
{
    return QString();
}

QStringList HttpManager::configDirectories()
{
    const QString app = AppPaths::appDir();
    const QString root = QDir::rootPath();
    return {app, app + QStringLiteral("/etc"), app + QStringLiteral("/../etc"), root + QStringLiteral("etc/opt"),
            root + QStringLiteral("etc")};
}

QString HttpManager::findConfigFile()
{
    const QString name = QLatin1String(ConfigFileName);
    const QStringList dirs = configDirectories();
    for (const QString &dir : dirs) {
        const QFileInfo file(dir + QLatin1Char('/') + name);
        if (file.exists()) {
            const QString path = file.canonicalFilePath();
            qCDebug(lcHttp, "Using config file %s", qPrintable(path));
            return path;
        }
    }
    for (const QString &dir : dirs)
        qWarning("%s/%s not found", qPrintable(dir), qPrintable(name));
    qWarning("Cannot find config file %s", qPrintable(name));
    return QString();
}

bool HttpManager::startListener()
{
    const QString path = findConfigFile();
    if (path.isEmpty())
        return false;
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("listener"));
    if (!m_requestManager)
        m_requestManager = new RequestManager(this);
    stopListener();
    m_listener = new HttpListener(HttpListenerSettings::fromSettings(settings), m_requestManager, this);
    qWarning("Application has started");
    return true;
}

quint16 HttpManager::serverPort() const
{
    return m_listener && m_listener->isListening() ? m_listener->serverPort() : 0;
}

Http::Http(QObject *parent) : HttpManager(parent)
{
}

Http::~Http()
{
    stopListener();
}

QString Http::handlePostData(const QByteArray &body)
{
    qCDebug(lcHttp, "Http: received %s", body.left(2000).constData());
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_waiting.size() >= MaxWaiting) {
            lock.unlock();
            qWarning("Http: %d messages wait for the main thread, message refused: %s", MaxWaiting,
                     body.left(200).constData());
            return QStringLiteral("busy");
        }
        wake = m_waiting.isEmpty();
        m_waiting.append(body);
    }
    // The first body of a batch: the batch goes out BatchDelayMs later, in this object's thread.
    if (wake)
        QMetaObject::invokeMethod(
            this, [this] { QTimer::singleShot(BatchDelayMs, this, &Http::deliver); }, Qt::QueuedConnection);
    return QString();
}

void Http::deliver()
{
    QList<QByteArray> bodies;
    {
        QMutexLocker lock(&m_mutex);
        bodies.swap(m_waiting);
    }
    for (const QByteArray &body : qAsConst(bodies))
        emit sendJsonData(body);
}
