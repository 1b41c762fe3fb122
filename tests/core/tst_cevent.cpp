// The event record: empty-not-null defaults, the QVariant round trip, the
// texts of command and action codes, the debug form. (Queued signals across
// threads carry it in the driver and integration tests.)

#include "core/cevent.h"

#include <QtTest>

class TestCEvent : public QObject
{
    Q_OBJECT
private slots:
    void recordTravelsWhole()
    {
        const CEvent empty;
        for (const QString *s : {&empty.strCode, &empty.strEndCode, &empty.strNote, &empty.strTime, &empty.strExtra})
            QVERIFY(s->isEmpty() && !s->isNull());
        CEvent e;
        e.nCom = 3; e.nPanelID = 200; e.nPanelType = 22; e.nEventType = 4; e.nEventCode = 1203;
        e.nEventProperty = 1; e.nLoop = 2; e.nAddress = 117; e.nDevType = 9; e.nChannel = 5;
        e.nValue = 42; e.strCode = "0*1000ff"; e.strNote = "三楼"; e.strTime = "2026-12-05 21:45:00"; e.strExtra = "x";
        const QVariant v = e.toVariant();
        QCOMPARE(QMetaType::typeName(v.userType()), "CEvent");
        QVERIFY(CEvent::fromVariant(v) == e);
        QVERIFY(!CEvent::fromVariant(v).strEndCode.isNull());
        for (const QVariant &other : {QVariant(QStringLiteral("not an event")), QVariant(17), QVariant()})
            QVERIFY(CEvent::fromVariant(other) == CEvent());

        QString text;
        QDebug(&text) << e;
        QVERIFY(text.contains("panel=200") && text.contains("strCode=\"0*1000ff\""));
    }

    void namesOfCodes()
    {
        QCOMPARE(actionName(21) + actionName(22) + actionName(1021), QStringLiteral("维保记录全部消防电源"));
        QCOMPARE(commandName(CmdSilence) + commandName(CmdEnable) + commandName(0x42), QStringLiteral("消音取消屏蔽"));
    }
};

QTEST_GUILESS_MAIN(TestCEvent)
#include "tst_cevent.moc"
