// The Modbus receiver: real datagrams on loopback through a receiver bound to
// a free port.

#include "common/testfiles.h"
#include "config/configtables.h"
#include "gateways/cmodbusdevice.h"

#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
struct Expected
{
    int code;
    int property;
    int address;
    QString strCode;
};
} // namespace
Q_DECLARE_METATYPE(QList<Expected>)

namespace QTest {
template <>
char *toString(const CEvent &e)
{
    QString text;
    QDebug(&text) << e;
    return qstrdup(qPrintable(text));
}
} // namespace QTest

class TestModbusDevice : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    void sendAll(quint16 port, const QList<QByteArray> &datagrams)
    {
        QUdpSocket out;
        for (const QByteArray &d : datagrams)
            QCOMPARE(out.writeDatagram(d, QHostAddress::LocalHost, port), qint64(d.size()));
    }

private slots:
    void initTestCase()
    {
        // Code 3 is class 3 in this table; 2, 2003 and 913 are not in it.
        const QString table = m_dir.filePath("EventConfig.xml");
        QFile f(table);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<Config><EventType><DevEvent EventData=\"3\"><E ComData=\"3\" EventData=\"3\"/></DevEvent>"
                "</EventType></Config>");
        f.close();
        QVERIFY(ConfigTables::instance().loadEventTable(table));
    }

    void datagramsBecomeEvents_data()
    {
        QTest::addColumn<QList<QByteArray>>("datagrams");
        QTest::addColumn<QList<Expected>>("expected");
        const QByteArray example = "{\"msg\":\"ABCDEF012XYZ\",\"type\":2}";
        const Expected ex{3, 1, 12, "ABCDEF012XYZ"};
        QTest::newRow("example") << QList<QByteArray>{example} << QList<Expected>{ex};
        QTest::newRow("split inside msg") << QList<QByteArray>{example.left(15), example.mid(15)} << QList<Expected>{ex};
        QTest::newRow("noise before") << QList<QByteArray>{"\r\n}junk" + example} << QList<Expected>{ex};
        QTest::newRow("two in one, in order")
            << QList<QByteArray>{"{\"msg\":\"AAAAAA001AAA\",\"type\":1}{\"type\":3,\"msg\":\"BBBBBB999BB\"}"}
            << QList<Expected>{{2003, 0, 1, "AAAAAA001AAA"}, {913, 0, 999, "BBBBBB999BB"}};
        QTest::newRow("unknown and missing kinds")
            << QList<QByteArray>{"{\"msg\":\"CCCCCC007CCC\",\"type\":7}", "{\"msg\":\"DDDDDD1x3DDD\"}",
                                 "{\"msg\":\"EEEEEE123EEE\",\"type\":\"2\"}"}
            << QList<Expected>{{913, 1, 7, "CCCCCC007CCC"}, {2, 1, 0, "DDDDDD1x3DDD"}, {2, 1, 123, "EEEEEE123EEE"}};
        QTest::newRow("rejected, then a good one")
            << QList<QByteArray>{"{\"msg\":\"ABCDEF0123\",\"type\":2}", "{\"type\":2}", "{\"msg\":\"ABCDEF012XYZ\",",
                                 "{not json}", example}
            << QList<Expected>{ex};
    }

    void datagramsBecomeEvents()
    {
        QFETCH(QList<QByteArray>, datagrams);
        QFETCH(QList<Expected>, expected);
        CModbusDevice device(0);
        QVERIFY(device.isBound());
        QSignalSpy spy(&device, &CModbusDevice::sendEvent);
        const QString before = nowText();
        sendAll(device.localPort(), datagrams);
        QTRY_COMPARE(spy.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const CEvent e = CEvent::fromVariant(spy.at(i).at(0));
            QVERIFY(e.strTime >= before && e.strTime <= nowText());
            CEvent want;
            want.nPanelID = 1;
            want.nPanelType = 32;
            want.nLoop = 1;
            want.nDevType = 69;
            want.nEventCode = expected.at(i).code;
            ConfigTables::instance().complete(want);
            want.nEventProperty = expected.at(i).property;
            want.nAddress = expected.at(i).address;
            want.strCode = expected.at(i).strCode;
            want.strTime = e.strTime;
            QCOMPARE(e, want);
        }
        // Rejections are counted: every message of the row that made no event.
        QCOMPARE(device.messagesReceived() - device.messagesRejected(), quint64(expected.size()));
    }

    void openObjectPastTheCapIsDroppedOncePerEpisode()
    {
        LogCapture log;
        CModbusDevice device(0);
        QSignalSpy spy(&device, &CModbusDevice::sendEvent);
        const QByteArray good = "{\"msg\":\"ABCDEF012XYZ\",\"type\":2}";
        const QByteArray open = "{\"msg\":\"" + QByteArray(30000, 'a');
        const QByteArray more(30000, 'b');
        // Two objects left open past 64 KiB, one after the other: both
        // dropped, one line. A good message ends the episode; the next flood
        // is a new one.
        sendAll(device.localPort(), {open, more, more, open, more, more, good, open, more, more, good});
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(log.count("stayed open"), 2);
        QCOMPARE(device.bytesDropped(), quint64(3 * (open.size() + 2 * more.size())));
    }

    void floodLeavesTheEventLoopRunning()
    {
        CModbusDevice device(0);
        int received = 0;
        connect(&device, &CModbusDevice::sendEvent, this, [&] { ++received; });
        // More waiting at once than one notification takes: the loop's other
        // work (here a timer of the same thread) runs between the passes.
        const int total = 3 * CModbusDevice::MaxDatagramsPerPass;
        QList<QByteArray> flood;
        for (int i = 0; i < total; ++i)
            flood << QStringLiteral("{\"msg\":\"FLOOD%1\",\"type\":0}").arg(i, 7, 10, QLatin1Char('0')).toUtf8();
        sendAll(device.localPort(), flood);
        QList<int> seenByTimer;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { seenByTimer << received; });
        timer.start(0);
        QTRY_COMPARE(received, total);
        QVERIFY2(std::any_of(seenByTimer.cbegin(), seenByTimer.cend(), [&](int n) { return n > 0 && n < total; }),
                 qPrintable(QString::number(seenByTimer.size()) + " timer ticks, none between the passes"));
    }

    void stormOfTenThousandInOneSecondIsNotLost()
    {
        CModbusDevice device(0);
        int received = 0;
        int outOfOrder = 0;
        connect(&device, &CModbusDevice::sendEvent, this, [&](const CEvent &v) {
            // A consumer that stalls now and then (a disk write, a busy
            // console): the kernel must hold what arrives meanwhile.
            if (received % 2500 == 0)
                QThread::msleep(250);
            if (v.strCode != QStringLiteral("STORM%1").arg(received, 7, 10, QLatin1Char('0')))
                ++outOfOrder;
            ++received;
        });
        const quint16 port = device.localPort();
        std::atomic<int> sent{0};
        // The sender has its own thread and socket, so it paces itself while
        // the receiver runs in this thread's event loop: 10 every millisecond.
        std::thread sender([port, &sent] {
            QUdpSocket out;
            auto next = std::chrono::steady_clock::now();
            for (int i = 0; i < 10000; ++i) {
                const QByteArray d = QStringLiteral("{\"msg\":\"STORM%1\",\"type\":0}").arg(i, 7, 10, QLatin1Char('0')).toUtf8();
                if (out.writeDatagram(d, QHostAddress::LocalHost, port) == d.size())
                    ++sent;
                if (i % 10 == 9) {
                    next += std::chrono::milliseconds(1);
                    std::this_thread::sleep_until(next);
                }
            }
        });
        auto joinSender = qScopeGuard([&sender] { sender.join(); });
        QTRY_COMPARE_WITH_TIMEOUT(received, 10000, 30000);
        joinSender.dismiss();
        sender.join();
        QCOMPARE(sent.load(), 10000);
        QCOMPARE(received, 10000);
        QCOMPARE(outOfOrder, 0);
    }
};

QTEST_GUILESS_MAIN(TestModbusDevice)
#include "tst_cmodbusdevice.moc"
