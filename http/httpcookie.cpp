#include "http/httpcookie.h"

#include <QDebug>

HttpCookie::HttpCookie(const QByteArray &n, const QByteArray &v) : name(n), value(v)
{
}

HttpCookie HttpCookie::fromSetCookie(const QByteArray &text)
{
    HttpCookie c;
    const QList<QByteArray> parts = text.split(';');
    for (int i = 0; i < parts.size(); ++i) {
        const QByteArray part = parts.at(i).trimmed();
        const int eq = part.indexOf('=');
        const QByteArray key = (eq < 0 ? part : part.left(eq)).trimmed();
        const QByteArray val = eq < 0 ? QByteArray() : part.mid(eq + 1).trimmed();
        if (i == 0) {
            c.name = key;
            c.value = val;
            continue;
        }
        const QByteArray k = key.toLower();
        if (k == "comment")
            c.comment = val;
        else if (k == "domain")
            c.domain = val;
        else if (k == "max-age")
            c.maxAge = val.toInt();
        else if (k == "path")
            c.path = val;
        else if (k == "secure")
            c.secure = true;
        else if (k == "httponly")
            c.httpOnly = true;
        else if (k == "samesite")
            c.sameSite = val;
        else if (k == "version")
            c.version = val.toInt();
        else if (!k.isEmpty())
            qWarning("HttpCookie: Ignoring unknown %s=%s", key.constData(), val.constData());
    }
    return c;
}

QByteArray HttpCookie::toByteArray() const
{
    QByteArray out = name + '=' + value;
    if (!comment.isEmpty())
        out += "; Comment=" + comment;
    if (!domain.isEmpty())
        out += "; Domain=" + domain;
    if (maxAge >= 0)
        out += "; Max-Age=" + QByteArray::number(maxAge);
    if (!path.isEmpty())
        out += "; Path=" + path;
    if (secure)
        out += "; Secure";
    if (httpOnly)
        out += "; HttpOnly";
    if (!sameSite.isEmpty())
        out += "; SameSite=" + sameSite;
    if (version > 0)
        out += "; Version=" + QByteArray::number(version);
    return out;
}
