#include "gateways/nbdevice.h"

#include "config/configtables.h"
#include "core/safejson.h"
#include "gateways/httpmanager.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QLocale>

#include <limits>

namespace {
constexpr double MinVoltage = 35.0;
constexpr double MinDirty = 92.0;

// The platform's messages carry readings as JSON numbers; texts such as
// "95" are read as well. Anything else reads as 0.
double reading(const QJsonValue &v)
{
    if (v.isDouble())
        return v.toDouble();
    return v.toString().toDouble();
}

// A 15-digit identifier or a time sent as a number instead of text still
// reads as intended (a double holds 15 digits exactly). A number beyond 64
// bits has no integer text: it is kept as JSON writes it.
QString deviceId(const QJsonValue &v)
{
    if (!v.isDouble())
        return v.toString();
    const double d = v.toDouble();
    if (d > -9.2e18 && d < 9.2e18)
        return QString::number(qint64(d));
    return QString::number(d, 'g', QLocale::FloatingPointShortest);
}

// Seconds whose milliseconds do not fit in 64 bits are no time at all: they
// read as a missing time (second 0) instead of overflowing on the way.
constexpr qint64 MaxSeconds = std::numeric_limits<qint64>::max() / 1000;

qint64 seconds(const QJsonValue &v)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        return d >= -double(MaxSeconds) && d <= double(MaxSeconds) ? qint64(d) : 0;
    }
    const qint64 s = v.toString().trimmed().toLongLong();
    return s >= -MaxSeconds && s <= MaxSeconds ? s : 0;
}
} // namespace

NBDevice::NBDevice(QObject *parent) : QObject(parent), m_http(new Http(this))
{
    m_http->startListener();
    connect(m_http, &Http::sendJsonData, this, &NBDevice::receiveData);
}

NBDevice::~NBDevice() = default;

quint16 NBDevice::serverPort() const
{
    return m_http->serverPort();
}

bool NBDevice::checkDeviceData(const QString &msgType, const QJsonObject &content)
{
    if (msgType == QLatin1String("dev_online"))
        return true;
    return reading(content.value(QLatin1String("voltage"))) >= MinVoltage
        && reading(content.value(QLatin1String("dirty"))) >= MinDirty;
}

bool NBDevice::parseMessage(const QJsonObject &message, CEvent *event)
{
    const QJsonValue typeValue = message.value(QLatin1String("msg_type"));
    if (typeValue.isUndefined())
        return false;
    const QString type = typeValue.toString();
    CEvent e;
    if (type == QLatin1String("dev_alarm") || type == QLatin1String("dev_status")) {
        e.nEventCode = 1;
        e.nEventProperty = type == QLatin1String("dev_alarm") ? 1 : 0;
    } else if (type == QLatin1String("dev_fault")) {
        e.nEventCode = 3;
        e.nEventProperty = 1;
    } else if (type == QLatin1String("dev_online") || type == QLatin1String("dev_data")) {
        e.nEventCode = 913;
        e.nEventProperty = 0;
    } else {
        return false;
    }
    const QJsonObject content = message.value(QLatin1String("msg_content")).toObject();
    if (e.nEventCode == 913 && !checkDeviceData(type, content))
        return false;
    e.nCom = 0;
    e.nPanelID = 1;
    e.nPanelType = 1;
    e.nDevType = 1;
    ConfigTables::instance().complete(e);
    e.strCode = deviceId(content.value(QLatin1String("dev_id")));
    e.strTime = QDateTime::fromSecsSinceEpoch(seconds(content.value(QLatin1String("eve_time"))))
                    .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    *event = e;
    return true;
}

void NBDevice::receiveData(QByteArray recvArray)
{
    QString error;
    const QJsonDocument doc = SafeJson::parse(recvArray, &error);
    ++m_nReceived;
    if (!doc.isObject()) {
        ++m_nRejected;
        if (!recvArray.trimmed().isEmpty())
            qWarning("NBDevice: message is not a JSON object (%s): %s", qPrintable(error),
                     recvArray.left(200).constData());
        return;
    }
    CEvent e;
    if (parseMessage(doc.object(), &e))
        emit sendEvent(e);
}
