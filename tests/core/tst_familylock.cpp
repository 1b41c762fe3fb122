// The single-instance lock of the program family: the port decides, the lock
// file names the holder in the refusal. Free ports stand in for the family's.
#include "common/testfiles.h"
#include "core/apppaths.h"
#include "core/familylock.h"

#include <QTcpServer>
#include <QtTest>

class TestFamilyLock : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { AppPaths::setAppDir(m_dir.path()); }
    void cleanupTestCase() { AppPaths::setAppDir(QString()); }

    void holderIsNamedInTheRefusal()
    {
        FamilyLock own(1, 0);
        QVERIFY(own.acquire(nullptr));
        QCOMPARE(TestFiles::read(m_dir.filePath("crt.lock")), QByteArray("1"));

        QTcpServer holder; // another family member holds the port
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        const QList<QPair<QByteArray, QString>> cases{
            {"1", QStringLiteral("服务器已经运行")},
            {"2", QStringLiteral("配置管理工具在运行，无法启动服务器")},
            {"3", QStringLiteral("图形组态工具在运行，无法启动服务器")},
            {"0", QString()}, {"garbage\n", QString()}, {QByteArray(), QString()}};
        for (const auto &c : cases) {
            QFile::remove(m_dir.filePath("crt.lock"));
            if (!c.first.isEmpty()) // empty: no lock file at all
                QVERIFY(TestFiles::write(m_dir.filePath("crt.lock"), c.first));
            FamilyLock lock(1, holder.serverPort());
            QString refusal = "unset";
            QVERIFY(!lock.acquire(&refusal));
            QCOMPARE(refusal, c.second);
        }
        QCOMPARE(FamilyLock::refusalText(1, 2), QStringLiteral("服务器正在运行，无法启动配置管理工具"));
    }
};

QTEST_GUILESS_MAIN(TestFamilyLock)
#include "tst_familylock.moc"
