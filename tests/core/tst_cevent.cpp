#include "core/cevent.h"

#include <QtTest>

class TestCEvent : public QObject
{
    Q_OBJECT
private slots:
    void defaultRecordIsEmptyButNotNull()
    {
        const CEvent e;
        QCOMPARE(e.nCom, quint8(0));
        QCOMPARE(e.nPanelID, quint8(0));
        QCOMPARE(e.nEventCode, 0);
        QCOMPARE(e.nReserved, 0);
        for (const QString *s : {&e.strCode, &e.strEndCode, &e.strNote, &e.strTime, &e.strExtra}) {
            QVERIFY(s->isEmpty());
            QVERIFY(!s->isNull());
        }
    }

    void copyAndReadBackAreFieldByFieldEqual()
    {
        CEvent e;
        e.nCom = 3; e.nPanelID = 200; e.nPanelType = 22; e.nEventType = 4; e.nEventCode = 1203;
        e.nEventProperty = 1; e.nLoop = 2; e.nAddress = 117; e.nDevType = 9; e.nChannel = 5;
        e.nValue = 42; e.strCode = "0*1000ff"; e.strEndCode = ""; e.strNote = "三楼";
        e.strTime = "2026-12-05 21:45:00"; e.strExtra = "x";
        const CEvent copy = e;
        QVERIFY(copy == e);
        const QVariant v = e.toVariant();
        QCOMPARE(v.userType(), CEvent::typeId());
        QCOMPARE(QMetaType::typeName(CEvent::typeId()), "CEvent");
        const CEvent back = CEvent::fromVariant(v);
        QVERIFY(back == e);
        QVERIFY(!back.strEndCode.isNull());
    }

    void variantOfAnotherTypeGivesDefaultRecord()
    {
        QVERIFY(CEvent::fromVariant(QVariant(QStringLiteral("not an event"))) == CEvent());
        QVERIFY(CEvent::fromVariant(QVariant(17)) == CEvent());
        QVERIFY(CEvent::fromVariant(QVariant()) == CEvent());
    }

    void travelsThroughQueuedConnectionsAcrossThreads()
    {
        // A QVariant-carrying signal delivered into another thread keeps the record.
        QThread thread;
        QObject receiver;
        receiver.moveToThread(&thread);
        CEvent got;
        QSemaphore done;
        thread.start();
        CEvent e;
        e.nEventCode = 101;
        e.strCode = "abc";
        QMetaObject::invokeMethod(&receiver, [&, v = e.toVariant()] {
            got = CEvent::fromVariant(v);
            done.release();
        }, Qt::QueuedConnection);
        QVERIFY(done.tryAcquire(1, 5000));
        thread.quit();
        thread.wait();
        QVERIFY(got == e);
    }

    void actionNames()
    {
        QCOMPARE(actionName(6), QStringLiteral("设备故障"));
        QCOMPARE(actionName(11), QStringLiteral("设备故障"));
        QCOMPARE(actionName(0), QStringLiteral("全部"));
        QCOMPARE(actionName(22), QStringLiteral("全部"));
        QCOMPARE(actionName(999), QStringLiteral("全部"));
        QCOMPARE(actionName(1000), QStringLiteral("管理机构"));
        QCOMPARE(actionName(1021), QStringLiteral("消防电源"));
        QCOMPARE(actionName(1022), QStringLiteral("全部"));
        QCOMPARE(actionName(21), QStringLiteral("维保记录"));
    }

    void commandCodesAndNames()
    {
        QCOMPARE(int(CmdSilence), 137);
        QCOMPARE(int(CmdReset), 148);
        QCOMPARE(int(CmdReadValue), 152);
        QCOMPARE(commandName(CmdSilence), QStringLiteral("消音"));
        QCOMPARE(commandName(CmdEnable), QStringLiteral("取消屏蔽"));
        QCOMPARE(commandName(CmdSyncTime), QStringLiteral("对时"));
    }

    void debugFormNamesEveryField()
    {
        CEvent e;
        e.nPanelID = 5;
        e.strCode = "00010203";
        QString text;
        QDebug(&text) << e;
        QVERIFY(text.contains("panel=5"));
        QVERIFY(text.contains("strCode=\"00010203\""));
    }
};

QTEST_GUILESS_MAIN(TestCEvent)
#include "tst_cevent.moc"
