#pragma once
// The client accounts shared by the console and every client connection,
// with the console's operator password and client-service switch, and the
// file "FireServerInfo.cfg" that keeps them. The add/change/delete rules and
// the login decision take their inputs as values, so dialogs and sockets
// only collect data and show or send the answer.

#include "clients/loginthrottle.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>
#include <functional>

struct ClientAccount
{
    QString id;          // one character whose code is the running account count
    QString userName;
    QString userType;    // "Local", "Remote" or "API"
    QString password;
    bool isConnected = false; // shown in the user list
    bool isLoggedIn = false;  // a client connection holds this account
    quint64 nSession = 0;     // which login holds it (0: none or the console's view only)
};

class ClientAccounts
{
public:
    // Only the console and the client connections use it, all in the main
    // thread, so the table needs no lock.
    static ClientAccounts &instance();

    static constexpr int MaxAccounts = 10;
    static const char *const DefaultOperatorPassword; // "pqz"

    enum LoginResult { LoginUnknownUser, LoginTypeMismatch, LoginWrongPassword, LoginAlreadyIn, LoginOk };

    // --- the file ---------------------------------------------------------
    // Reads and decodes the file (default: "FireServerInfo.cfg" in the
    // application directory), rebuilds the table, takes the switch and the
    // operator password, then saves again. A missing file leaves an empty
    // table and "pqz"; a file that does not decode yields no accounts and is
    // left as it is. Returns false when the file exists but did not decode.
    bool load(const QString &path = QString());
    // Encodes and replaces the file atomically; the old file survives any
    // failure before the replace. beforeReplace (for tests) may veto it.
    bool save(const QString &path = QString(),
              const std::function<bool()> &beforeReplace = std::function<bool()>()) const;

    static QString defaultPath();
    // The plain text lines of the file, before encoding.
    QByteArray plainText() const;
    // Base64 three times in a row, the whole file.
    static QByteArray encode(const QByteArray &plain);
    // false when any of the three rounds is not valid Base64.
    static bool decode(const QByteArray &file, QByteArray *plain);
    // Rebuilds the table, switch and password from plain text.
    void parsePlainText(const QByteArray &plain);

    // "/Server/Title" of "ServerConfig.cfg"; null when the file or key is missing.
    static QString readServerTitle(const QString &path = QString());

    // --- the table --------------------------------------------------------
    bool contains(const QString &name) const { return m_accounts.contains(name); }
    ClientAccount account(const QString &name) const { return m_accounts.value(name); }
    QList<ClientAccount> accounts() const { return m_accounts.values(); }
    int count() const { return m_accounts.size(); }
    void clear();

    QString operatorPassword() const { return m_operatorPassword; }
    void setOperatorPassword(const QString &password) { m_operatorPassword = password; }
    bool clientServiceOn() const { return m_clientServiceOn; }
    void setClientServiceOn(bool on) { m_clientServiceOn = on; }

    // --- add, change, delete ----------------------------------------------
    // Title of every refusal box.
    static QString refusalTitle();
    // Refusal before the add dialog opens (the count limit); empty when allowed.
    QString refusalBeforeAdd() const;
    // The dialog's own check of the two password entries; empty when equal.
    static QString refusalForPasswords(const QString &password, const QString &confirmation);
    // All rules of an addition, in their order; empty when allowed.
    QString refusalForAdd(const QString &name, const QString &password, const QString &type) const;
    // Applies refusalForAdd, stores the account and saves. refusal gets the text.
    bool addAccount(const QString &name, const QString &password, const QString &type,
                    QString *refusal = nullptr, const QString &path = QString());
    // Replaces password and type, clears both flags, saves; false for an unknown name.
    bool changeAccount(const QString &name, const QString &password, const QString &type,
                       QString *refusal = nullptr, const QString &path = QString());
    // Turns the client-service switch off, removes the account, saves.
    bool deleteAccount(const QString &name, const QString &path = QString());

    // --- sessions ---------------------------------------------------------
    // Logged-in flag to (iState == 1) and, for a real account, the connected
    // flag too. Unknown names are ignored.
    void setUserState(const QString &name, int iState);

    // A successful login takes the account at once (so a second login in the
    // reply pause is refused) and gets a session number; only the holder of
    // that number releases it on disconnection, so a stale connection cannot
    // log out a newer session of the same account.
    quint64 claimLogin(const QString &name);
    bool holdsLogin(const QString &name, quint64 nSession) const;
    // Marks the account logged out when nSession still holds it.
    bool releaseLogin(const QString &name, quint64 nSession);

    // Whether an account of this type may log in from peer. Local addresses
    // are 127.0.0.1 and the machine's own interface addresses.
    static bool userTypeAccepts(const QString &userType, const QHostAddress &peer,
                                const QList<QHostAddress> &localAddresses);
    static QList<QHostAddress> machineAddresses();

    // The login decision in its order. With user types off, peer is unused.
    LoginResult decideLogin(const QString &name, const QString &password, const QHostAddress &peer,
                            bool userTypesEnabled) const;
    static QString loginLogText(LoginResult result);
    // Failed logins per peer address, shared by every connection.
    LoginThrottle &throttle() { return m_throttle; }

private:
    ClientAccounts() = default;
    void insertAccount(const QString &name, const QString &password, const QString &type);

    QMap<QString, ClientAccount> m_accounts;
    int m_runningCount = 0; // source of the one-character ids
    quint64 m_lastSession = 0;
    bool m_clientServiceOn = false;
    QString m_operatorPassword = QString::fromLatin1(DefaultOperatorPassword);
    LoginThrottle m_throttle;
};
