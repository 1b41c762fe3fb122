// The gate that lets connection threads wait for the main thread without
// holding up a shutdown.

#include "core/callgate.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <atomic>

class TestCallGate : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestCallGate)
#include "tst_callgate.moc"
