// Client accounts: the encoded account file, the title file, the rules of
// adding, changing and deleting accounts, and the login decision.

#include "clients/clientaccounts.h"
#include "common/testfiles.h"
#include "core/apppaths.h"
#include "core/servercontext.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

using TestFiles::read;

namespace {
// "user|alice|secret|Local\nClientConnect|1\nPassWord|op123\n", Base64 three times.
const QByteArray kOneAccountFile =
    "WkZoT2JHTnVlR2hpUjJ4cVdsaDRlbHBYVG5sYVdGSTRWRWM1YWxsWGQwdFJNbmh3V2xjMU1GRXlPWFZpYlZacVpFaDNlRU5z"
    "UW1oak0wNVlZak5LYTJaSE9YZE5WRWw2UTJjOVBRPT0=";
// An empty table as the loader writes it back: "ClientConnect|0\nPassWord|pqz\n".
const QByteArray kEmptyTableFile = "VVRKNGNGcFhOVEJSTWpsMVltMVdhbVJJZDNkRGJFSm9Zek5PV0dJelNtdG1TRUo0WldkdlBRPT0=";
} // namespace

class TestClientAccounts : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    ClientAccounts &acc = ClientAccounts::instance();
    QString file() const { return m_dir.filePath("FireServerInfo.cfg"); }

private slots:
    void initTestCase() { AppPaths::setAppDir(m_dir.path()); }
    void init()
    {
        ServerContext::instance().isHaveUserType = false;
        acc.clear();
        QFile::remove(file());
    }

    void accountFile()
    {
        QVERIFY(TestFiles::write(file(), kOneAccountFile));
        QVERIFY(acc.load());
        const ClientAccount a = acc.account("alice");
        QCOMPARE(acc.count(), 1);
        QCOMPARE(a.password + a.userType, "secretLocal");
        QCOMPARE(a.id, QString(QChar(1)));
        QVERIFY(acc.clientServiceOn());
        QCOMPARE(acc.operatorPassword(), "op123");
        QCOMPARE(read(file()), kOneAccountFile); // saved again on load, byte for byte

        // Lines are read by their tags (case-insensitive, except ClientConnect), GBK text.
        const QByteArray plain = QTextCodec::codecForName("GBK")->fromUnicode(
            QStringLiteral("User|Ann|a1|Remote\nUSER|Bea|b|Local\r\r\nuSeR||nameless|API\nClientConnect| 1 \n"
                           "clientconnect|0\nsomething else\nuser|张三|密码|Remote\n"));
        QVERIFY(TestFiles::write(file(), ClientAccounts::encode(plain)));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("account line without a name"));
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 3);
        QCOMPARE(acc.account("Bea").userType, "Local"); // every carriage return at a line end goes
        QVERIFY(acc.clientServiceOn());
        QCOMPARE(acc.operatorPassword(), "pqz"); // no PassWord line
        acc.clear();
        QVERIFY(acc.load()); // round trip through the encoded file
        QCOMPARE(acc.account("张三").password, "密码");

        // A damaged file changes on its first save only: bytes GBK cannot
        // read are "?" at once (sorted before "Ann" as they are saved), and a
        // carriage return that the save would put at a line end goes too.
        QVERIFY(TestFiles::write(file(), ClientAccounts::encode("user|Ann|a|API\nuser|\x81\x30z|p|Local\r|x\n"
                                                                "PassWord|op\r|x\n")));
        QVERIFY(acc.load());
        QCOMPARE(acc.account("?0z").userType + acc.operatorPassword(), "Localop");
        const QByteArray firstSave = read(file());
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(read(file()), firstSave);

        // No file: defaults, written at once.
        QFile::remove(file());
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(acc.count(), 0);
        QVERIFY(!acc.clientServiceOn());
        QCOMPARE(read(file()), kEmptyTableFile);

        // An undecodable file yields nothing and is kept as it is.
        QVERIFY(TestFiles::write(file(), "this is not base64 at all!"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Base64 round 1 does not decode"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("does not decode; no accounts loaded"));
        QVERIFY(!acc.load());
        QCOMPARE(acc.count(), 0);
        QCOMPARE(read(file()), QByteArray("this is not base64 at all!"));
    }

    void interruptedSaveLeavesTheOldFile()
    {
        QVERIFY(TestFiles::write(file(), kOneAccountFile));
        QVERIFY(acc.load());
        acc.setOperatorPassword("changed");
        bool oldIntact = false;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("save interrupted before the replace"));
        QVERIFY(!acc.save(QString(), [&]() {
            oldIntact = read(file()) == kOneAccountFile; // the new content is written by now
            return false;
        }));
        QVERIFY(oldIntact);
        QCOMPARE(read(file()), kOneAccountFile);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"FireServerInfo.cfg"});
        QVERIFY(acc.save());
        acc.clear();
        QVERIFY(acc.load());
        QCOMPARE(acc.operatorPassword(), "changed");
    }

    void titleComesFromServerConfig()
    {
        const QString path = m_dir.filePath("ServerConfig.cfg");
        QVERIFY(ClientAccounts::readServerTitle(path).isNull());
        {
            QSettings ini(path, QSettings::IniFormat);
            ini.setIniCodec("GBK");
            ini.setValue("Server/Title", "消防网关服务器");
        }
        QCOMPARE(ClientAccounts::readServerTitle(path), "消防网关服务器");
    }

    void addChangeAndDeleteRules()
    {
        const QString full = "超过最大用户数量！";
        // Names and passwords must fit the file's line format.
        const QString broken = "用户名和密码不能包含“|”或换行符！";
        QCOMPARE(acc.refusalForAdd("a|b", "p", QString()), broken);
        QCOMPARE(acc.refusalForAdd("ab", "p\nPassWord|x", QString()), broken);
        QCOMPARE(acc.refusalForAdd(QString(), "p", QString()), "用户名不能为空！");
        // ...and its encoding, or "?" would come back in place of the character.
        const QString unsaveable = "用户名和密码含有无法保存的字符！";
        QCOMPARE(acc.refusalForAdd("op😀", "p", QString()), unsaveable);
        QCOMPARE(acc.refusalForAdd("op", "p😀", QString()), unsaveable);
        QVERIFY(acc.refusalForAdd("操作员", "密码", QString()).isEmpty());
        QCOMPARE(ClientAccounts::refusalForPasswords("a", "b"),
                 "两次输入密码不一致，请重新检查输入!");

        for (int i = 1; i <= 10; ++i)
            QVERIFY(acc.addAccount(QString("u%1").arg(i), "p", "Local"));
        QCOMPARE(acc.account("u10").id, QString(QChar(10)));
        QCOMPARE(acc.refusalBeforeAdd(), full);
        QString why;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not added"));
        QVERIFY(!acc.addAccount("u11", "p", "Remote", &why));
        QCOMPARE(why, full);
        acc.clear();
        QVERIFY(acc.load()); // each addition was saved
        QCOMPARE(acc.count(), 10);

        // With user types: one Local, one API, any number of Remote.
        acc.clear();
        ServerContext::instance().isHaveUserType = true;
        QVERIFY(acc.addAccount("local", "p", "Local"));
        QVERIFY(acc.addAccount("api", "p", "API"));
        for (int i = 0; i < 12; ++i)
            QVERIFY(acc.addAccount(QString("r%1").arg(i), "p", "Remote"));
        QVERIFY(acc.refusalBeforeAdd().isEmpty());
        QCOMPARE(acc.refusalForAdd("l2", "p", "Local"), full);
        QCOMPARE(acc.refusalForAdd("a2", "p", "API"), full);
        QCOMPARE(acc.refusalForAdd("r3", "p", "Remote"),
                 "该用户名占用，请选择其他用户！");

        // A change skips the rules and ends the account's session.
        const quint64 session = acc.claimLogin("r1");
        QVERIFY(acc.changeAccount("r1", "new", "Local"));
        const ClientAccount a = acc.account("r1");
        QCOMPARE(a.password + a.userType, "newLocal");
        QVERIFY(!a.isConnected && !a.isLoggedIn && !acc.holdsLogin("r1", session));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not changed"));
        QVERIFY(!acc.changeAccount("ghost", "p", "Local"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not changed"));
        QVERIFY(!acc.changeAccount("r1", "p😀", "Local"));
        QCOMPARE(acc.account("r1").password, "new");

        // Deleting the last account turns the service switch off.
        acc.clear();
        acc.setClientServiceOn(true);
        QVERIFY(acc.addAccount("a", "p", "Local"));
        QVERIFY(acc.deleteAccount("a"));
        QVERIFY(!acc.clientServiceOn());
        QCOMPARE(read(file()), kEmptyTableFile);
    }

    void userTypeAddresses()
    {
        // The machine's own addresses count as local, also IPv4-mapped; the
        // login order and the session holder are checked on the wire in tst_cclient.
        const QList<QHostAddress> own{QHostAddress("192.0.2.2"), QHostAddress("fd00::2")};
        for (const char *t : {"Local", "API"}) {
            QVERIFY(ClientAccounts::userTypeAccepts(t, QHostAddress("::ffff:127.0.0.1"), {}));
            QVERIFY(ClientAccounts::userTypeAccepts(t, QHostAddress("::ffff:192.0.2.2"), own));
            QVERIFY(!ClientAccounts::userTypeAccepts(t, QHostAddress("127.0.0.2"), own));
        }
        QVERIFY(!ClientAccounts::userTypeAccepts("Remote", QHostAddress("fd00::2"), own));
        QVERIFY(ClientAccounts::userTypeAccepts("Remote", QHostAddress("127.0.0.2"), own));
        acc.setUserState("ghost", 1); // the console's slot never invents an account
        QVERIFY(!acc.contains("ghost"));
    }
};

QTEST_MAIN(TestClientAccounts)
#include "tst_clientaccounts.moc"
