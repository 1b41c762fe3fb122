// The web console's logins: they expire when idle (but not while a page
// streams), and a full table makes room for a newcomer.

#include "web/websessions.h"

#include <QtTest>

class TestWebParts : public QObject
{
    Q_OBJECT

private slots:
    void sessionsExpireWhenIdleButNotWhileStreaming()
    {
        qint64 now = 1000;
        WebSessions sessions(30 * 60 * 1000, 2);
        sessions.setClock([&now] { return now; });
        const QByteArray a = sessions.create("duty")->token;
        const QByteArray b = sessions.create("night")->token;
        QVERIFY(a != b && a.size() == 64);
        QVERIFY(sessions.find(a)->csrf != a);

        now += 29 * 60 * 1000;
        QVERIFY(sessions.find(a)); // renewed by the use
        sessions.streamOpened(b);
        now += 29 * 60 * 1000;
        QVERIFY(sessions.find(b)); // streaming: present however long
        now += 2 * 60 * 1000;
        QVERIFY(!sessions.find(a));
        QVERIFY(sessions.find(b));
        sessions.streamClosed(b);
        now += 30 * 60 * 1000 + 1;
        QVERIFY(!sessions.find(b));
        QCOMPARE(sessions.count(), 0);
    }

    void aFullTableMakesRoomOnlyFromSessionsWithoutAStream()
    {
        qint64 now = 0;
        WebSessions sessions(60000, 2);
        sessions.setClock([&now] { return now; });
        const QByteArray first = sessions.create("a")->token;
        now += 10;
        const QByteArray second = sessions.create("b")->token;
        now += 10;
        QVERIFY(sessions.find(first)); // now the more recent one
        const QByteArray third = sessions.create("c")->token;
        QVERIFY(sessions.find(first));
        QVERIFY(!sessions.find(second));

        sessions.streamOpened(first);
        sessions.streamOpened(third);
        QVERIFY(!sessions.create("d")); // every live one holds a stream
        QCOMPARE(sessions.count(), 2);
    }

    void tokensCompareWhole()
    {
        QVERIFY(WebSessions::sameToken("abcd", "abcd"));
        QVERIFY(!WebSessions::sameToken("abcd", "abce"));
        QVERIFY(!WebSessions::sameToken("abcd", "abc"));
        QVERIFY(!WebSessions::sameToken("", ""));
    }
};

QTEST_GUILESS_MAIN(TestWebParts)
#include "tst_webparts.moc"
