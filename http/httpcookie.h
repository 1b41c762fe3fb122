#pragma once
// One cookie: the text of a Set-Cookie header and back.

#include <QByteArray>

class HttpCookie
{
public:
    HttpCookie() = default;
    HttpCookie(const QByteArray &name, const QByteArray &value);
    // Parses a Set-Cookie text: name=value followed by "; " attributes.
    static HttpCookie fromSetCookie(const QByteArray &text);

    // The Set-Cookie text: name=value and every attribute that is set.
    QByteArray toByteArray() const;

    QByteArray name;
    QByteArray value;
    QByteArray comment;
    QByteArray domain;
    int maxAge = -1;   // -1: not set (0 is a real value: delete now)
    QByteArray path;
    bool secure = false;
    bool httpOnly = false;
    QByteArray sameSite;
    int version = 0;   // 0: not set
};
