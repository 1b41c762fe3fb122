#pragma once
// Login data that a client sends with LOGIN and LOGOUT. Only the name and
// the password mean anything to the server; the other three members are
// carried between the JSON form and the record unchanged.

#include <QMetaType>
#include <QString>
#include <QVariant>

struct UserInfo
{
    QString userName; // "t"
    QString password; // "u"
    int nNumber = 0;  // "q"
    QString server;   // "s"
    QString strText;  // "r"

    // Declared to the meta-type system as "UserInfo" on first use.
    static int typeId();
    QVariant toVariant() const;
    // Stored record, else a default one.
    static UserInfo fromVariant(const QVariant &v);
};

Q_DECLARE_METATYPE(UserInfo)
