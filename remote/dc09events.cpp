#include "remote/dc09events.h"

#include <QDomDocument>
#include <QFile>

namespace Dc09 {

namespace {
qint64 codeKey(int eventClass, int eventNumber)
{
    return (qint64(eventClass) << 32) | quint32(eventNumber);
}

bool isSiaCode(const QByteArray &c)
{
    return c.size() == 2 && c.at(0) >= 'A' && c.at(0) <= 'Z' && c.at(1) >= 'A' && c.at(1) <= 'Z';
}

QByteArray digits(int value, int width)
{
    return QByteArray::number(value).rightJustified(width, '0');
}
} // namespace

QByteArray formatId(Format f)
{
    return f == Format::ContactId ? QByteArrayLiteral("ADM-CID") : QByteArrayLiteral("SIA-DCS");
}

bool CodeTable::load(const QString &path, QString *error)
{
    m_codes.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    QDomDocument doc;
    QString parseError;
    int line = 0;
    if (!doc.setContent(&file, &parseError, &line)) {
        *error = QStringLiteral("%1 line %2: %3").arg(path).arg(line).arg(parseError);
        return false;
    }
    const QDomElement root = doc.documentElement();
    const QDomElement zone = root.firstChildElement(QStringLiteral("Zone"));
    if (!zone.isNull()) {
        m_zoneStart = qBound(0, zone.attribute(QStringLiteral("codeStart"), QStringLiteral("3")).toInt(), 64);
        m_zoneLength = qBound(1, zone.attribute(QStringLiteral("codeLength"), QStringLiteral("3")).toInt(), 4);
    }
    for (QDomElement e = root.firstChildElement(QStringLiteral("Code")); !e.isNull();
         e = e.nextSiblingElement(QStringLiteral("Code"))) {
        bool classOk = false;
        bool numberOk = true;
        bool cidOk = true;
        const int eventClass = e.attribute(QStringLiteral("class")).toInt(&classOk);
        const int number = e.hasAttribute(QStringLiteral("number")) ? e.attribute(QStringLiteral("number")).toInt(&numberOk) : 0;
        Code c;
        c.sia = e.attribute(QStringLiteral("sia")).toLatin1();
        c.siaRestore = e.attribute(QStringLiteral("siaRestore")).toLatin1();
        c.momentary = e.attribute(QStringLiteral("momentary")) == QLatin1String("1");
        if (e.hasAttribute(QStringLiteral("cid")))
            c.cid = e.attribute(QStringLiteral("cid")).toInt(&cidOk);
        if (!classOk || !numberOk || !cidOk || c.cid < 0 || c.cid > 999 || !isSiaCode(c.sia)
            || (!c.momentary && !isSiaCode(c.siaRestore))) {
            *error = QStringLiteral("%1 line %2: a Code needs class, sia, siaRestore (unless momentary) and a cid of "
                                    "1..999")
                         .arg(path).arg(e.lineNumber());
            m_codes.clear();
            return false;
        }
        m_codes.insert(codeKey(eventClass, number), c);
    }
    return true;
}

const Code *CodeTable::find(int eventClass, int eventNumber) const
{
    auto it = m_codes.constFind(codeKey(eventClass, eventNumber));
    if (it == m_codes.constEnd())
        it = m_codes.constFind(codeKey(eventClass, 0));
    return it == m_codes.constEnd() ? nullptr : &*it;
}

int CodeTable::zoneFromCode(const QString &strCode) const
{
    const QString part = strCode.mid(m_zoneStart, m_zoneLength);
    bool ok = false;
    const int zone = part.size() == m_zoneLength ? part.toInt(&ok) : 0;
    return ok && zone >= 0 ? zone : 0;
}

QByteArray eventData(Format f, const QByteArray &account, const Code &code, const Event &e, bool *clipped)
{
    const bool restore = e.restore && !code.momentary;
    QByteArray data = '#' + account + '|';
    bool clip = false;
    if (f == Format::ContactId) {
        const int group = e.area >= 0 && e.area <= 99 ? e.area : 0;
        const int zone = e.zone >= 0 && e.zone <= 999 ? e.zone : 0;
        clip = group != e.area || zone != e.zone;
        data += (restore ? '3' : '1') + digits(code.cid, 3) + ' ' + digits(group, 2) + ' ' + digits(zone, 3);
    } else {
        const int zone = e.zone >= 0 && e.zone <= 9999 ? e.zone : 0;
        clip = zone != e.zone;
        data += "Nri" + QByteArray::number(qMax(0, e.area)) + '/' + (restore ? code.siaRestore : code.sia)
            + digits(zone, 3);
    }
    if (clipped)
        *clipped = clip;
    return data;
}

} // namespace Dc09
