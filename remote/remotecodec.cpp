#include "remote/remotecodec.h"

#include <QtEndian>

namespace RemoteCodec {

QByteArray sizeField(quint32 size)
{
    QByteArray out(HeaderSize, Qt::Uninitialized);
    qToLittleEndian(size, out.data());
    return out;
}

QByteArray encodeFrame(const QByteArray &payload)
{
    return sizeField(quint32(payload.size())) + payload;
}

QByteArray heartbeatFrame()
{
    return encodeFrame(QByteArrayLiteral("a"));
}

FrameResult decodeFrame(const QByteArray &data, quint32 maxPayload)
{
    FrameResult r;
    if (data.size() < HeaderSize)
        return r;
    r.length = qFromLittleEndian<quint32>(data.constData());
    if (r.length > maxPayload) {
        r.status = FrameResult::Invalid;
        return r;
    }
    if (quint32(data.size() - HeaderSize) < r.length)
        return r;
    r.status = FrameResult::Complete;
    r.consumed = HeaderSize + int(r.length);
    r.payload = data.mid(HeaderSize, int(r.length));
    return r;
}

QString systemName(int nPanelType)
{
    switch (nPanelType) {
    case 30: case 31: case 32: return QStringLiteral("可燃气体报警系统");
    case 40: case 41: return QStringLiteral("气体灭火系统");
    case 200: return QStringLiteral("电气火灾监控系统");
    case 231: case 233: return QStringLiteral("防火门监控系统");
    default: return QStringLiteral("火灾报警系统");
    }
}

QString eventLine(const CEvent &e, const QString &eventName, const QString &timeText, const QString &address)
{
    // kind||system||system<panel>设备<code>:<name>||time||address||panel||0
    // Built by concatenation: a device code or name containing "%1" must
    // arrive as it is.
    const QString sep = QStringLiteral("||");
    const QString system = systemName(e.nPanelType);
    const QString panel = QString::number(e.nPanelID);
    QString name = eventName;
    if (e.nEventType == 17)
        name += e.nEventProperty == 0 ? QStringLiteral(" 正常") : QStringLiteral(" 故障");
    return (e.nEventType <= 9 ? QStringLiteral("DeviceData") : QStringLiteral("Controller")) + sep + system + sep
        + system + panel + QStringLiteral("设备") + e.strCode + QLatin1Char(':') + name + sep + timeText + sep
        + address + sep + panel + sep + QLatin1Char('0');
}

Request decodeRequest(const QByteArray &payload)
{
    Request r;
    const int zero = payload.indexOf('\0');
    const QString text = QString::fromUtf8(zero < 0 ? payload : payload.left(zero));
    const QStringList fields = text.split(QStringLiteral("||"), Qt::KeepEmptyParts);
    if (fields.size() < 3)
        return r;
    r.valid = true;
    r.code = fields.at(0).trimmed().toInt();
    r.startDate = fields.at(1);
    r.endDate = fields.at(2);
    return r;
}

QByteArray encodeRequest(const QString &code, const QString &startDate, const QString &endDate)
{
    return (code + QStringLiteral("||") + startDate + QStringLiteral("||") + endDate).toUtf8();
}

QString documentLine(const QString &address, const QString &name, const QString &timeText)
{
    return address + QStringLiteral("||系统文件||") + name + QStringLiteral(".pdf||") + timeText;
}

QString logLine(const QString &address, const QString &action, const QString &content, const QString &atime)
{
    const QString sep = QStringLiteral("||");
    return address + sep + action + sep + content + sep + atime;
}

} // namespace RemoteCodec
