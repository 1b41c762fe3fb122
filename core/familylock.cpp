#include "core/familylock.h"

#include "core/apppaths.h"
#include "core/prompt.h"

#include <QCoreApplication>
#include <QFile>

FamilyLock::FamilyLock(quint8 familyNumber, quint16 port)
    : m_number(familyNumber), m_port(port)
{
}

QString FamilyLock::familyName(quint8 number)
{
    switch (number) {
    case 1: return QCoreApplication::translate("CMyApplication", "服务器");
    case 2: return QCoreApplication::translate("CMyApplication", "配置管理工具");
    case 3: return QCoreApplication::translate("CMyApplication", "图形组态工具");
    default: return QString();
    }
}

QString FamilyLock::refusalText(int holder, quint8 own)
{
    const QString ownName = familyName(own);
    if (holder == own)
        return ownName + QCoreApplication::translate("CMyApplication", "已经运行");
    switch (holder) {
    case 1: return QCoreApplication::translate("CMyApplication", "服务器正在运行，无法启动") + ownName;
    case 2: return QCoreApplication::translate("CMyApplication", "配置管理工具在运行，无法启动") + ownName;
    case 3: return QCoreApplication::translate("CMyApplication", "图形组态工具在运行，无法启动") + ownName;
    default: return QString();
    }
}

bool FamilyLock::acquire(QString *refusal)
{
    const QString lockPath = AppPaths::file(QStringLiteral("crt.lock"));
    if (m_server.listen(QHostAddress::Any, m_port)) {
        QFile f(lockPath);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(QByteArray::number(m_number));
        else
            qWarning() << "cannot write" << lockPath << f.errorString();
        return m_server.isListening();
    }
    int holder = 0;
    QFile f(lockPath);
    if (f.open(QIODevice::ReadOnly))
        holder = QString::fromLatin1(f.readAll()).trimmed().toInt(); // foreign text reads as 0
    if (refusal)
        *refusal = refusalText(holder, m_number);
    return false;
}

bool FamilyLock::acquireOrTell()
{
    QString refusal;
    if (acquire(&refusal))
        return true;
    Prompt::information(QCoreApplication::translate("CMyApplication", "提示"), refusal);
    return false;
}
