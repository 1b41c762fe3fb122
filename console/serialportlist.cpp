#include "console/serialportlist.h"

#include "core/servercontext.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <algorithm>

namespace {
int comNumber(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^COM(\\d+)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(name.trimmed());
    if (!m.hasMatch())
        return 0;
    const int n = m.captured(1).toInt();
    return n >= 1 && n <= 255 ? n : 0; // the store keeps the port in 8 bits
}
} // namespace

QStringList SerialPortList::portNames(const QMap<QString, QString> &mapped,
                                      const QStringList &devicePaths)
{
    QMap<int, QString> byNumber;
    QMap<QString, int> mappedDevices; // canonical device path -> COM number
    for (auto it = mapped.cbegin(); it != mapped.cend(); ++it) {
        const int n = comNumber(it.key());
        if (n == 0) {
            qWarning() << "SerialPorts entry" << it.key() << "is not a COM<n> name between 1 and 255, ignored";
            continue;
        }
        byNumber.insert(n, QStringLiteral("COM%1").arg(n));
        mappedDevices.insert(QFileInfo(it.value().trimmed()).absoluteFilePath(), n);
    }
    static const QRegularExpression ttyS(QStringLiteral("^/dev/ttyS(\\d+)$"));
    for (const QString &path : devicePaths) {
        const QString abs = QFileInfo(path).absoluteFilePath();
        if (mappedDevices.contains(abs))
            continue; // already listed under its mapped name
        const QRegularExpressionMatch m = ttyS.match(abs);
        const int n = m.hasMatch() ? m.captured(1).toInt() + 1 : 0;
        if (n < 1 || n > 255) {
            qDebug() << "serial device" << path
                     << "has no COM name; map it in config.ini [SerialPorts] to offer it";
            continue;
        }
        // When a mapping already claims this number the name is listed once;
        // drivers then open the mapped device, not this one.
        byNumber.insert(n, QStringLiteral("COM%1").arg(n));
    }
    if (byNumber.isEmpty())
        return {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")};
    return byNumber.values();
}

QMap<QString, QString> SerialPortList::mappedPorts()
{
    // The device each mapped name resolves to, as the drivers resolve it.
    const ServerContext &ctx = ServerContext::instance();
    QMap<QString, QString> result;
    const QMap<QString, QString> &ports = ctx.serialPorts();
    for (auto it = ports.cbegin(); it != ports.cend(); ++it)
        result.insert(it.key(), ctx.serialDevicePath(it.key()));
    return result;
}

namespace {
std::function<QStringList()> &deviceLister()
{
    static std::function<QStringList()> lister;
    return lister;
}
} // namespace

void SerialPortList::setDeviceLister(std::function<QStringList()> lister)
{
    deviceLister() = std::move(lister);
}

QStringList SerialPortList::machineDevices()
{
    if (deviceLister())
        return deviceLister()();
    QStringList paths;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        paths << info.systemLocation();
    return paths;
}

QStringList SerialPortList::availablePorts()
{
    return portNames(mappedPorts(), machineDevices());
}

QStringList SerialPortList::networkInterfaceNames()
{
    QStringList names;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        const QString name = iface.humanReadableName();
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    }
    return names;
}
