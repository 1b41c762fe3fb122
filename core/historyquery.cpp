#include "core/historyquery.h"

#include <QDateTime>

namespace {
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

// A date widens to the start or the end of its day; a time stays.
QString fullTime(const QString &text, bool bEndOfDay)
{
    const QString t = text.trimmed();
    if (QDateTime::fromString(t, kTimeFormat).isValid())
        return t;
    if (QDate::fromString(t, kDateFormat).isValid())
        return t + (bEndOfDay ? QStringLiteral(" 23:59:59") : QStringLiteral(" 00:00:00"));
    return QString();
}
} // namespace

QString HistoryQuery::normalise()
{
    const QString f = fullTime(from, false);
    const QString t = fullTime(to, true);
    if (f.isEmpty())
        return QStringLiteral("from \"%1\" is not yyyy-MM-dd or yyyy-MM-dd hh:mm:ss").arg(from.left(40));
    if (t.isEmpty())
        return QStringLiteral("to \"%1\" is not yyyy-MM-dd or yyyy-MM-dd hh:mm:ss").arg(to.left(40));
    if (f > t)
        return QStringLiteral("from %1 is after to %2").arg(f, t);
    if (panel < 0 || panel > 255)
        return QStringLiteral("panel %1 is not 0..255").arg(panel);
    if (eventClass < 0)
        return QStringLiteral("class %1 is negative").arg(eventClass);
    if (pageSize <= 0)
        pageSize = DefaultPageSize;
    if (pageSize > MaxPageSize)
        return QStringLiteral("page size %1 is more than %2").arg(pageSize).arg(MaxPageSize);
    if (text.size() > MaxTextLength)
        return QStringLiteral("text of %1 characters is longer than %2").arg(text.size()).arg(MaxTextLength);
    if (!cursor.isEmpty() && !cursorParts(nullptr, nullptr))
        return QStringLiteral("cursor \"%1\" is not one this server gave").arg(cursor.left(40));
    from = f;
    to = t;
    return QString();
}

bool HistoryQuery::cursorParts(QString *time, qint64 *id) const
{
    const int bar = cursor.lastIndexOf(QLatin1Char('|'));
    if (bar < 0)
        return false;
    bool ok = false;
    const qint64 n = cursor.mid(bar + 1).toLongLong(&ok);
    const QString t = cursor.left(bar);
    if (!ok || n <= 0 || t.size() > 64)
        return false;
    if (time)
        *time = t;
    if (id)
        *id = n;
    return true;
}

QString HistoryQuery::makeCursor(const QString &time, qint64 id)
{
    return time + QLatin1Char('|') + QString::number(id);
}
