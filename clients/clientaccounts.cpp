#include "clients/clientaccounts.h"

#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QDebug>
#include <QFile>
#include <QNetworkInterface>
#include <QSaveFile>
#include <QSettings>
#include <QTextCodec>

const char *const ClientAccounts::DefaultOperatorPassword = "pqz";

namespace {
// The family's tools write the plain text in the Chinese ANSI code page.
QTextCodec *fileCodec()
{
    static QTextCodec *codec = QTextCodec::codecForName("GBK");
    return codec;
}

// "|" separates the fields and "\n" the lines: either inside a name or a
// password would corrupt the file on the next save.
bool hasFieldBreak(const QString &text)
{
    return text.contains(QLatin1Char('|')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'));
}

// A character the file's encoding cannot hold would be saved as "?": the
// account would come back under another name or password after a restart.
bool fitsFile(const QString &text)
{
    return fileCodec()->canEncode(text);
}

QString unsaveableText()
{
    return QStringLiteral("用户名和密码含有无法保存的字符！");
}

QHostAddress plainAddress(const QHostAddress &a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : a;
}
} // namespace

ClientAccounts &ClientAccounts::instance()
{
    static ClientAccounts *accounts = new ClientAccounts;
    return *accounts;
}

QString ClientAccounts::defaultPath()
{
    return AppPaths::file(QStringLiteral("FireServerInfo.cfg"));
}

void ClientAccounts::clear()
{
    m_accounts.clear();
    m_runningCount = 0;
    m_clientServiceOn = false;
    m_operatorPassword = QString::fromLatin1(DefaultOperatorPassword);
    m_throttle.clear();
}

void ClientAccounts::insertAccount(const QString &name, const QString &password, const QString &type)
{
    ClientAccount a;
    a.id = QString(QChar(++m_runningCount));
    a.userName = name;
    a.password = password;
    a.userType = type;
    m_accounts.insert(name, a);
}

// --- file -------------------------------------------------------------------

QByteArray ClientAccounts::encode(const QByteArray &plain)
{
    return plain.toBase64().toBase64().toBase64();
}

bool ClientAccounts::decode(const QByteArray &file, QByteArray *plain)
{
    QByteArray data = file.trimmed();
    for (int round = 0; round < 3; ++round) {
        const auto result = QByteArray::fromBase64Encoding(data, QByteArray::AbortOnBase64DecodingErrors);
        if (!result) {
            qWarning() << "account file: Base64 round" << round + 1 << "does not decode";
            return false;
        }
        data = *result;
    }
    *plain = data;
    return true;
}

QByteArray ClientAccounts::plainText() const
{
    QString text;
    for (const ClientAccount &a : m_accounts) {
        if (a.userName.isEmpty())
            continue;
        text += QStringLiteral("user|") + a.userName + QLatin1Char('|') + a.password + QLatin1Char('|')
            + a.userType + QLatin1Char('\n');
    }
    text += QStringLiteral("ClientConnect|") + (m_clientServiceOn ? QLatin1Char('1') : QLatin1Char('0'))
        + QLatin1Char('\n');
    text += QStringLiteral("PassWord|") + m_operatorPassword + QLatin1Char('\n');
    return fileCodec()->fromUnicode(text);
}

void ClientAccounts::parsePlainText(const QByteArray &plain)
{
    m_accounts.clear();
    m_runningCount = 0;
    m_operatorPassword = QString::fromLatin1(DefaultOperatorPassword);
    // Read as the next save will write it: what GBK cannot hold becomes "?"
    // now, not on the first save, so names keep their order (and accounts
    // their numbers) from one start to the next.
    const QString text = fileCodec()->toUnicode(fileCodec()->fromUnicode(fileCodec()->toUnicode(plain)));
    // Tolerate a file that went through a Windows editor, even twice: a
    // carriage return left at the end of a line, or of a field the save puts
    // at a line end (type, operator password), would be lost on a later load.
    const auto lineEnd = [](QString field) {
        while (field.endsWith(QLatin1Char('\r')))
            field.chop(1);
        return field;
    };
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = lineEnd(raw);
        const QStringList f = line.split(QLatin1Char('|'));
        if (line.left(4).toUpper() == QLatin1String("USER")) {
            const QString name = f.value(1);
            if (name.isEmpty()) {
                qWarning() << "account file: account line without a name ignored";
                continue;
            }
            insertAccount(name, f.value(2), lineEnd(f.value(3)));
        } else if (line.startsWith(QLatin1String("ClientConnect"))) {
            m_clientServiceOn = f.value(1).trimmed() == QLatin1String("1");
        } else if (line.startsWith(QLatin1String("PassWord"))) {
            m_operatorPassword = lineEnd(f.value(1));
        }
    }
}

bool ClientAccounts::load(const QString &path)
{
    const QString file = path.isEmpty() ? defaultPath() : path;
    QFile f(file);
    if (f.exists()) {
        if (!f.open(QIODevice::ReadOnly)) {
            qWarning() << "account file" << file << "cannot be read:" << f.errorString();
            m_accounts.clear();
            return false;
        }
        QByteArray plain;
        if (!decode(f.readAll(), &plain)) {
            // Keep the undecodable file for the operator: saving now would
            // replace it with an empty table.
            qWarning() << "account file" << file << "does not decode; no accounts loaded";
            m_accounts.clear();
            m_runningCount = 0;
            m_operatorPassword = QString::fromLatin1(DefaultOperatorPassword);
            return false;
        }
        parsePlainText(plain);
    } else {
        m_accounts.clear();
        m_runningCount = 0;
        m_operatorPassword = QString::fromLatin1(DefaultOperatorPassword);
    }
    qDebug() << "client accounts loaded:" << m_accounts.size() << "from" << file;
    save(file);
    return true;
}

bool ClientAccounts::save(const QString &path, const std::function<bool()> &beforeReplace) const
{
    const QString file = path.isEmpty() ? defaultPath() : path;
    // Written to a temporary file and renamed over the old one, so a crash
    // never leaves a half-written or plain-text account file.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        qWarning() << "account file" << file << "cannot be written:" << out.errorString();
        return false;
    }
    const QByteArray data = encode(plainText());
    if (out.write(data) != data.size()) {
        qWarning() << "account file" << file << "write failed:" << out.errorString();
        out.cancelWriting();
        return false;
    }
    if (beforeReplace && !beforeReplace()) {
        qWarning() << "account file" << file << "save interrupted before the replace";
        out.cancelWriting();
        out.commit();
        return false;
    }
    if (!out.commit()) {
        qWarning() << "account file" << file << "replace failed:" << out.errorString();
        return false;
    }
    return true;
}

QString ClientAccounts::readServerTitle(const QString &path)
{
    const QString file = path.isEmpty() ? AppPaths::file(QStringLiteral("ServerConfig.cfg")) : path;
    if (!QFile::exists(file))
        return QString();
    QSettings ini(file, QSettings::IniFormat);
    ini.setIniCodec("GBK");
    const QVariant v = ini.value(QStringLiteral("/Server/Title"));
    return v.isValid() ? v.toString() : QString();
}

// --- add, change, delete ------------------------------------------------------

QString ClientAccounts::refusalTitle()
{
    return QStringLiteral("错误");
}

QString ClientAccounts::refusalBeforeAdd() const
{
    // With user types the type rule limits the local accounts instead.
    if (!ServerContext::instance().isHaveUserType && m_accounts.size() >= MaxAccounts)
        return QStringLiteral("超过最大用户数量！");
    return QString();
}

QString ClientAccounts::refusalForPasswords(const QString &password, const QString &confirmation)
{
    if (password != confirmation)
        return QStringLiteral("两次输入密码不一致，请重新检查输入!");
    return QString();
}

QString ClientAccounts::refusalForAdd(const QString &name, const QString &password, const QString &type) const
{
    const QString limit = refusalBeforeAdd();
    if (!limit.isEmpty())
        return limit;
    if (name.isEmpty())
        return QStringLiteral("用户名不能为空！");
    if (hasFieldBreak(name) || hasFieldBreak(password))
        return QStringLiteral("用户名和密码不能包含“|”或换行符！");
    if (!fitsFile(name) || !fitsFile(password))
        return unsaveableText();
    if (m_accounts.contains(name))
        return QStringLiteral("该用户名占用，请选择其他用户！");
    if (ServerContext::instance().isHaveUserType && type != QLatin1String("Remote")) {
        for (const ClientAccount &a : m_accounts) {
            if (a.userType == type)
                return QStringLiteral("超过最大用户数量！");
        }
    }
    return QString();
}

bool ClientAccounts::addAccount(const QString &name, const QString &password, const QString &type,
                                QString *refusal, const QString &path)
{
    const QString why = refusalForAdd(name, password, type);
    if (refusal)
        *refusal = why;
    if (!why.isEmpty()) {
        qWarning() << "client account" << name << "not added:" << why;
        return false;
    }
    insertAccount(name, password, type);
    save(path);
    return true;
}

bool ClientAccounts::changeAccount(const QString &name, const QString &password, const QString &type,
                                   QString *refusal, const QString &path)
{
    QString why;
    if (!m_accounts.contains(name))
        why = QStringLiteral("该用户不存在！");
    else if (hasFieldBreak(password))
        why = QStringLiteral("用户名和密码不能包含“|”或换行符！");
    else if (!fitsFile(password))
        why = unsaveableText();
    if (refusal)
        *refusal = why;
    if (!why.isEmpty()) {
        qWarning() << "client account" << name << "not changed:" << why;
        return false;
    }
    ClientAccount &a = m_accounts[name];
    a.password = password;
    a.userType = type;
    a.isConnected = false;
    a.isLoggedIn = false;
    a.nSession = 0;
    save(path);
    return true;
}

bool ClientAccounts::deleteAccount(const QString &name, const QString &path)
{
    if (!m_accounts.contains(name)) {
        qWarning() << "client account" << name << "not deleted: no such account";
        return false;
    }
    m_clientServiceOn = false;
    m_accounts.remove(name);
    save(path);
    return true;
}

// --- sessions -----------------------------------------------------------------

void ClientAccounts::setUserState(const QString &name, int iState)
{
    auto it = m_accounts.find(name);
    if (it == m_accounts.end())
        return;
    it->isLoggedIn = (iState == 1);
    if (iState != 1)
        it->nSession = 0;
    if (!it->id.isEmpty())
        it->isConnected = (iState == 1);
}

quint64 ClientAccounts::claimLogin(const QString &name)
{
    auto it = m_accounts.find(name);
    if (it == m_accounts.end())
        return 0;
    setUserState(name, 1);
    it->nSession = ++m_lastSession;
    return it->nSession;
}

bool ClientAccounts::holdsLogin(const QString &name, quint64 nSession) const
{
    auto it = m_accounts.constFind(name);
    return nSession != 0 && it != m_accounts.constEnd() && it->isLoggedIn && it->nSession == nSession;
}

bool ClientAccounts::releaseLogin(const QString &name, quint64 nSession)
{
    if (!holdsLogin(name, nSession))
        return false;
    setUserState(name, 0);
    return true;
}

QList<QHostAddress> ClientAccounts::machineAddresses()
{
    return QNetworkInterface::allAddresses();
}

bool ClientAccounts::userTypeAccepts(const QString &userType, const QHostAddress &peer,
                                     const QList<QHostAddress> &localAddresses)
{
    // A dual-stack listener reports IPv4 peers as ::ffff:a.b.c.d.
    const QHostAddress p = plainAddress(peer);
    bool local = (p == QHostAddress(QHostAddress::LocalHost));
    for (const QHostAddress &a : localAddresses) {
        if (local)
            break;
        local = (plainAddress(a) == p);
    }
    if (userType == QLatin1String("Remote"))
        return !local;
    return local;
}

ClientAccounts::LoginResult ClientAccounts::decideLogin(const QString &name, const QString &password,
                                                        const QHostAddress &peer, bool userTypesEnabled) const
{
    auto it = m_accounts.constFind(name);
    if (it == m_accounts.constEnd())
        return LoginUnknownUser;
    if (userTypesEnabled && !userTypeAccepts(it->userType, peer, machineAddresses()))
        return LoginTypeMismatch;
    if (it->password != password)
        return LoginWrongPassword;
    if (it->isLoggedIn)
        return LoginAlreadyIn;
    return LoginOk;
}

QString ClientAccounts::loginLogText(LoginResult result)
{
    switch (result) {
    case LoginUnknownUser: return QStringLiteral("客户端登录失败,用户名错误!");
    case LoginTypeMismatch: return QStringLiteral("用户类型不匹配!");
    case LoginWrongPassword: return QStringLiteral("客户端登录失败,密码错误!");
    case LoginAlreadyIn: return QStringLiteral("客户端已经登录,请选择登录其他的客户端!");
    case LoginOk: return QStringLiteral("客户端登录成功!");
    }
    return QString();
}
