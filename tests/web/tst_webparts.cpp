// The web console's parts below the service: logins that expire when idle
// (but not while a page streams), room made for a newcomer, and the gate
// that lets connection threads wait for the main thread without holding up
// a shutdown.

#include "web/callgate.h"
#include "web/websessions.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <atomic>

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

    void gateAnswersAndClosingFreesWaiters()
    {
        CallGate gate;
        QObject mainObject; // lives in this thread
        std::optional<int> answered;
        QThread *asker = QThread::create([&] { answered = gate.call<int>(&mainObject, [] { return 42; }); });
        asker->start();
        QTRY_VERIFY(asker->isFinished()); // QTRY runs this thread's loop, which answers
        QCOMPARE(answered.value_or(0), 42);
        delete asker;

        // The main thread is busy (not running its loop) and closes the
        // gate, as a stop does before it waits for the connection threads.
        std::atomic_bool ran{false};
        std::optional<int> refused = 1;
        asker = QThread::create([&] { refused = gate.call<int>(&mainObject, [&ran] { ran = true; return 7; }, 60000); });
        QElapsedTimer t;
        t.start();
        asker->start();
        // Whether it is waiting already or only about to ask, it gets no answer.
        gate.close();
        QVERIFY(asker->wait(5000));
        QVERIFY(t.elapsed() < 5000);
        QVERIFY(!refused.has_value());
        QCoreApplication::processEvents(); // the late call is dropped, not run
        QVERIFY(!ran);
        QVERIFY(!gate.call<int>(&mainObject, [] { return 1; }).has_value());
        delete asker;
    }
};

QTEST_GUILESS_MAIN(TestWebParts)
#include "tst_webparts.moc"
