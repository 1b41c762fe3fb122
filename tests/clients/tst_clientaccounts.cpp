// Client accounts: the encoded account file, the title file, the rules of
// adding, changing and deleting accounts, and the login decision.

#include "clients/clientaccounts.h"
#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {
// "user|alice|secret|Local\nClientConnect|1\nPassWord|op123\n", Base64 three times.
const QByteArray kOneAccountFile =
    "WkZoT2JHTnVlR2hpUjJ4cVdsaDRlbHBYVG5sYVdGSTRWRWM1YWxsWGQwdFJNbmh3V2xjMU1GRXlPWFZpYlZacVpFaDNlRU5z"
    "UW1oak0wNVlZak5LYTJaSE9YZE5WRWw2UTJjOVBRPT0=";
// An empty table as the loader writes it back: "ClientConnect|0\nPassWord|pqz\n".
const QByteArray kEmptyTableFile = "VVRKNGNGcFhOVEJSTWpsMVltMVdhbVJJZDNkRGJFSm9Zek5PV0dJelNtdG1TRUo0WldkdlBRPT0=";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}
} // namespace

class TestClientAccounts : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    ClientAccounts &acc = ClientAccounts::instance();

    QString file() const { return m_dir.filePath(QStringLiteral("FireServerInfo.cfg")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
    }

    void init()
    {
        ServerContext::instance().isHaveUserType = false;
        acc.clear();
        QFile::remove(file());
    }

    // --- the file ----------------------------------------------------------

    void encodedFileLoadsAccountSwitchAndPassword()
    {
        QVERIFY(writeAll(file(), kOneAccountFile));
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 1);
        const ClientAccount a = acc.account(QStringLiteral("alice"));
        QCOMPARE(a.password, QStringLiteral("secret"));
        QCOMPARE(a.userType, QStringLiteral("Local"));
        QCOMPARE(a.id, QString(QChar(1)));
        QVERIFY(!a.isLoggedIn && !a.isConnected);
        QVERIFY(acc.clientServiceOn());
        QCOMPARE(acc.operatorPassword(), QStringLiteral("op123"));
        // Loading saves again; the content is byte for byte what it was.
        QCOMPARE(readAll(file()), kOneAccountFile);
    }

    void missingFileGivesDefaultsAndIsWritten()
    {
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 0);
        QCOMPARE(acc.operatorPassword(), QStringLiteral("pqz"));
        QVERIFY(!acc.clientServiceOn());
        QCOMPARE(readAll(file()), kEmptyTableFile);
    }

    void linesAreReadByTheirTags()
    {
        const QByteArray plain = QTextCodec::codecForName("GBK")->fromUnicode(
            QStringLiteral("User|Ann|a1|Remote\n"
                           "USER|Bea|b|Local\r\n"
                           "uSeR||nameless|API\n"
                           "ClientConnect| 1 \n"
                           "clientconnect|0\n" // tag compared exactly: ignored
                           "something else\n"
                           "user|张三|密码|Remote\n"));
        QVERIFY(writeAll(file(), ClientAccounts::encode(plain)));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("account line without a name"));
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 3);
        QCOMPARE(acc.account(QStringLiteral("Ann")).password, QStringLiteral("a1"));
        QCOMPARE(acc.account(QStringLiteral("Bea")).userType, QStringLiteral("Local"));
        QCOMPARE(acc.account(QStringLiteral("张三")).password, QStringLiteral("密码"));
        QVERIFY(acc.clientServiceOn());
        QCOMPARE(acc.operatorPassword(), QStringLiteral("pqz")); // no PassWord line

        // Round trip through the encoded file.
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 3);
        QCOMPARE(acc.account(QStringLiteral("张三")).userType, QStringLiteral("Remote"));
    }

    void undecodableFileYieldsNothingAndIsKept()
    {
        const QByteArray junk = "this is not base64 at all!";
        QVERIFY(writeAll(file(), junk));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Base64 round 1 does not decode"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("does not decode; no accounts loaded"));
        QVERIFY(!acc.load());
        QCOMPARE(acc.count(), 0);
        QCOMPARE(acc.operatorPassword(), QStringLiteral("pqz"));
        QCOMPARE(readAll(file()), junk);
    }

    void interruptedSaveLeavesTheOldFile()
    {
        QVERIFY(writeAll(file(), kOneAccountFile));
        QVERIFY(acc.load());
        acc.setOperatorPassword(QStringLiteral("changed"));
        bool oldIntact = false;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("save interrupted before the replace"));
        QVERIFY(!acc.save(QString(), [&]() {
            // The new content is written by now; the old file is untouched.
            oldIntact = readAll(file()) == kOneAccountFile;
            return false;
        }));
        QVERIFY(oldIntact);
        QCOMPARE(readAll(file()), kOneAccountFile);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"FireServerInfo.cfg"});
        QVERIFY(acc.save());
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(acc.operatorPassword(), QStringLiteral("changed"));
    }

    void titleComesFromServerConfig()
    {
        const QString path = m_dir.filePath(QStringLiteral("ServerConfig.cfg"));
        QVERIFY(ClientAccounts::readServerTitle(path).isNull());
        {
            QSettings ini(path, QSettings::IniFormat);
            ini.setIniCodec("GBK");
            ini.setValue(QStringLiteral("Server/Title"), QStringLiteral("消防网关服务器"));
        }
        QCOMPARE(ClientAccounts::readServerTitle(path), QStringLiteral("消防网关服务器"));
        QVERIFY(readAll(path).contains(QByteArray("\xcf\xfb\xb7\xc0"))); // "消防" in GBK
    }

    // --- rules -------------------------------------------------------------

    void withoutUserTypesTheEleventhIsRefused()
    {
        for (int i = 1; i <= 10; ++i)
            QVERIFY(acc.addAccount(QStringLiteral("u%1").arg(i), QStringLiteral("p"), QStringLiteral("Local")));
        QCOMPARE(acc.account(QStringLiteral("u10")).id, QString(QChar(10)));
        QCOMPARE(acc.refusalBeforeAdd(), QStringLiteral("超过最大用户数量！"));
        QString why;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not added"));
        QVERIFY(!acc.addAccount(QStringLiteral("u11"), QStringLiteral("p"), QStringLiteral("Remote"), &why));
        QCOMPARE(why, QStringLiteral("超过最大用户数量！"));
        QCOMPARE(ClientAccounts::refusalTitle(), QStringLiteral("错误"));
        // Each addition was saved.
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 10);
    }

    void withUserTypesOnlyRemoteRepeats()
    {
        ServerContext::instance().isHaveUserType = true;
        QVERIFY(acc.addAccount(QStringLiteral("local"), QStringLiteral("p"), QStringLiteral("Local")));
        QVERIFY(acc.addAccount(QStringLiteral("api"), QStringLiteral("p"), QStringLiteral("API")));
        for (int i = 0; i < 12; ++i)
            QVERIFY(acc.addAccount(QStringLiteral("r%1").arg(i), QStringLiteral("p"), QStringLiteral("Remote")));
        QVERIFY(acc.refusalBeforeAdd().isEmpty());
        QCOMPARE(acc.refusalForAdd(QStringLiteral("local2"), QStringLiteral("p"), QStringLiteral("Local")),
                 QStringLiteral("超过最大用户数量！"));
        QCOMPARE(acc.refusalForAdd(QStringLiteral("api2"), QStringLiteral("p"), QStringLiteral("API")),
                 QStringLiteral("超过最大用户数量！"));
        QCOMPARE(acc.refusalForAdd(QStringLiteral("r3"), QStringLiteral("p"), QStringLiteral("Remote")),
                 QStringLiteral("该用户名占用，请选择其他用户！"));
    }

    void namesAndPasswordsMustFitTheFile()
    {
        QCOMPARE(ClientAccounts::refusalForPasswords(QStringLiteral("a"), QStringLiteral("b")),
                 QStringLiteral("两次输入密码不一致，请重新检查输入!"));
        QVERIFY(ClientAccounts::refusalForPasswords(QStringLiteral("a"), QStringLiteral("a")).isEmpty());
        const QString broken = QStringLiteral("用户名和密码不能包含“|”或换行符！");
        QCOMPARE(acc.refusalForAdd(QStringLiteral("a|b"), QStringLiteral("p"), QString()), broken);
        QCOMPARE(acc.refusalForAdd(QStringLiteral("ab"), QStringLiteral("p\nPassWord|x"), QString()), broken);
        QCOMPARE(acc.refusalForAdd(QString(), QStringLiteral("p"), QString()), QStringLiteral("用户名不能为空！"));
    }

    void changeClearsFlagsAndSkipsTheRules()
    {
        ServerContext::instance().isHaveUserType = true;
        QVERIFY(acc.addAccount(QStringLiteral("local"), QStringLiteral("p"), QStringLiteral("Local")));
        QVERIFY(acc.addAccount(QStringLiteral("rem"), QStringLiteral("p"), QStringLiteral("Remote")));
        const quint64 session = acc.claimLogin(QStringLiteral("rem"));
        QVERIFY(acc.account(QStringLiteral("rem")).isConnected);
        QVERIFY(acc.changeAccount(QStringLiteral("rem"), QStringLiteral("new"), QStringLiteral("Local")));
        const ClientAccount a = acc.account(QStringLiteral("rem"));
        QCOMPARE(a.password, QStringLiteral("new"));
        QCOMPARE(a.userType, QStringLiteral("Local"));
        QVERIFY(!a.isConnected && !a.isLoggedIn);
        QVERIFY(!acc.holdsLogin(QStringLiteral("rem"), session));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not changed"));
        QVERIFY(!acc.changeAccount(QStringLiteral("ghost"), QStringLiteral("p"), QStringLiteral("Local")));
    }

    void deleteTurnsTheServiceSwitchOff()
    {
        acc.setClientServiceOn(true);
        QVERIFY(acc.addAccount(QStringLiteral("a"), QStringLiteral("p"), QStringLiteral("Local")));
        QVERIFY(acc.deleteAccount(QStringLiteral("a")));
        QCOMPARE(acc.count(), 0);
        QVERIFY(!acc.clientServiceOn());
        QCOMPARE(readAll(file()), kEmptyTableFile);
    }

    // --- login -------------------------------------------------------------

    void userTypeCheckSeparatesLocalFromRemote()
    {
        const QList<QHostAddress> own{QHostAddress(QStringLiteral("192.0.2.2")), QHostAddress(QStringLiteral("fd00::2"))};
        const QHostAddress loop(QStringLiteral("127.0.0.1"));
        const QHostAddress mapped(QStringLiteral("::ffff:127.0.0.1"));
        const QHostAddress far(QStringLiteral("127.0.0.2"));
        const QHostAddress ownMapped(QStringLiteral("::ffff:192.0.2.2"));
        for (const QString &t : {QStringLiteral("Local"), QStringLiteral("API")}) {
            QVERIFY(ClientAccounts::userTypeAccepts(t, loop, {}));
            QVERIFY(ClientAccounts::userTypeAccepts(t, mapped, {}));
            QVERIFY(ClientAccounts::userTypeAccepts(t, ownMapped, own));
            QVERIFY(!ClientAccounts::userTypeAccepts(t, far, own));
        }
        QVERIFY(!ClientAccounts::userTypeAccepts(QStringLiteral("Remote"), mapped, own));
        QVERIFY(!ClientAccounts::userTypeAccepts(QStringLiteral("Remote"), QHostAddress(QStringLiteral("fd00::2")), own));
        QVERIFY(ClientAccounts::userTypeAccepts(QStringLiteral("Remote"), far, own));
    }

    void loginDecisionInItsOrder()
    {
        QVERIFY(acc.addAccount(QStringLiteral("rem"), QStringLiteral("pw"), QStringLiteral("Remote")));
        const QHostAddress loop(QStringLiteral("127.0.0.1"));
        const QHostAddress far(QStringLiteral("127.0.0.2"));
        QCOMPARE(acc.decideLogin(QStringLiteral("x"), QStringLiteral("pw"), far, true), ClientAccounts::LoginUnknownUser);
        // The type check comes before the password check.
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("bad"), loop, true), ClientAccounts::LoginTypeMismatch);
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("bad"), loop, false), ClientAccounts::LoginWrongPassword);
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("PW"), far, true), ClientAccounts::LoginWrongPassword);
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("pw"), far, true), ClientAccounts::LoginOk);
        const quint64 s = acc.claimLogin(QStringLiteral("rem"));
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("pw"), far, true), ClientAccounts::LoginAlreadyIn);
        QVERIFY(!acc.releaseLogin(QStringLiteral("rem"), s + 1));
        QVERIFY(acc.releaseLogin(QStringLiteral("rem"), s));
        QCOMPARE(acc.decideLogin(QStringLiteral("rem"), QStringLiteral("pw"), far, true), ClientAccounts::LoginOk);
        // The console's slot never invents an account for an unknown name.
        acc.setUserState(QStringLiteral("ghost"), 1);
        QVERIFY(!acc.contains(QStringLiteral("ghost")));
    }
};

QTEST_MAIN(TestClientAccounts)
#include "tst_clientaccounts.moc"
