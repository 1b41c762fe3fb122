// FIXED_PORTS_TEST: holds the family port 21534.
#include "core/familylock.h"
#include "core/apppaths.h"

#include <QtTest>

class TestFamilyLock : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    void writeLock(const QByteArray &content)
    {
        QFile f(m_dir.filePath("crt.lock"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

private slots:
    void initTestCase() { AppPaths::setAppDir(m_dir.path()); }
    void cleanupTestCase() { AppPaths::setAppDir(QString()); }

    void acquireWritesOwnNumber()
    {
        FamilyLock lock(1);
        QString refusal;
        QVERIFY(lock.acquire(&refusal));
        QFile f(m_dir.filePath("crt.lock"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("1"));
    }

    void refusalNamesTheHolder_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("self") << QByteArray("1") << QStringLiteral("服务器已经运行");
        QTest::newRow("config tool") << QByteArray("2") << QStringLiteral("配置管理工具在运行，无法启动服务器");
        QTest::newRow("graphic tool") << QByteArray("3") << QStringLiteral("图形组态工具在运行，无法启动服务器");
        QTest::newRow("unknown") << QByteArray("0") << QString();
        QTest::newRow("foreign text") << QByteArray("garbage\n") << QString();
        QTest::newRow("missing") << QByteArray() << QString();
    }

    void refusalNamesTheHolder()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTcpServer holder; // another family member holds the port
        QVERIFY(holder.listen(QHostAddress::Any, 21534));
        if (content.isEmpty())
            QFile::remove(m_dir.filePath("crt.lock"));
        else
            writeLock(content);
        FamilyLock lock(1);
        QString refusal = "unset";
        QVERIFY(!lock.acquire(&refusal));
        QCOMPARE(refusal, expected);
    }

    void textsForTheOtherMembers()
    {
        QCOMPARE(FamilyLock::refusalText(1, 2), QStringLiteral("服务器正在运行，无法启动配置管理工具"));
        QCOMPARE(FamilyLock::refusalText(2, 2), QStringLiteral("配置管理工具已经运行"));
    }
};

QTEST_GUILESS_MAIN(TestFamilyLock)
#include "tst_familylock.moc"
