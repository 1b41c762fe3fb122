// History queries over real loopback sockets against a real SQLite event log
// and real document files: replies byte by byte, and requests that are refused.

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "remote/remotecodec.h"
#include "remote/remotesearch.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace RemoteCodec;

namespace {
QByteArray frames(const QStringList &lines)
{
    QByteArray out;
    for (const QString &l : lines)
        out += encodeFrame(l.toUtf8());
    return out;
}

QString row(const QString &action, const QString &content, const QString &atime)
{
    return logLine(QStringLiteral("10.1.2.3"), action, content, atime);
}
} // namespace

class TestRemoteSearch : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<RemoteSearch> m_search;

    // A worker lights the lamp off after the close its peer sees: wait for
    // the workers to end, or that light reaches the next case's spy.
    bool workersEnded()
    {
        return QTest::qWaitFor([&]() { return m_search->findChildren<QThread *>().isEmpty(); }, 5000);
    }

    // Sends raw bytes on several connections at once and collects every
    // reply until the server closes; closeMs is -1 for one left open.
    QList<QByteArray> askAll(const QByteArray &raw, int connections, qint64 *closeMs = nullptr)
    {
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        QList<QByteArray> got;
        for (int i = 0; i < connections; ++i) {
            peers.push_back(std::make_unique<QTcpSocket>());
            peers.back()->connectToHost(QHostAddress::LocalHost, m_search->serverPort());
            peers.back()->write(raw);
            got << QByteArray();
        }
        QElapsedTimer t;
        t.start();
        const bool closed = QTest::qWaitFor([&]() {
            bool all = true;
            for (int i = 0; i < connections; ++i) {
                got[i] += peers[size_t(i)]->readAll();
                all = all && peers[size_t(i)]->state() == QAbstractSocket::UnconnectedState;
            }
            return all;
        }, 20000);
        if (closeMs)
            *closeMs = closed ? t.elapsed() : -1;
        if (closed && !workersEnded())
            QTest::qFail("a query worker still runs after its connection closed", __FILE__, __LINE__);
        return got;
    }
    QByteArray ask(const QByteArray &raw, qint64 *closeMs = nullptr) { return askAll(raw, 1, closeMs).first(); }
    QByteArray query(const QString &code, const QString &from, const QString &to)
    {
        return ask(encodeFrame(encodeRequest(code, from, to)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppPaths::setAppDir(m_dir.path());
        ServerContext &ctx = ServerContext::instance();
        ctx.remoteAccept = true;
        ctx.serverAddress = QHostAddress(QStringLiteral("10.1.2.3"));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
            db.setDatabaseName(m_dir.filePath("EventRec.db"));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("create table EventRecord (id integer primary key, action text, content text, atime text)"));
            QVERIFY(q.exec(QStringLiteral(
                "insert into EventRecord (action, content, atime) values ('火警', '一号楼 A', '2024-01-15 10:00:00'), "
                "('火警', 'B', '2024-01-31 23:59:59'), ('火警', 'after', '2024-02-01 00:00:00'), "
                "('火警', 'before', '2023-12-31 23:59:59'), ('故障', 'E', '2024-01-20 08:00:00'), "
                "('火警', 'F', '2024-01-01 00:00:00'), ('维保记录', 'G', '2024-01-20 09:00:00')")));
            // Text stored as bytes with a zero inside ends at the zero.
            q.prepare("insert into EventRecord (action, content, atime) values (?, ?, ?)");
            q.addBindValue(QStringLiteral("故障"));
            q.addBindValue(QByteArray("H") + '\0' + "tail");
            q.addBindValue(QStringLiteral("2024-01-20 07:00:00"));
            QVERIFY(q.exec());
        }
        QSqlDatabase::removeDatabase("writer");
        QVERIFY(QDir(m_dir.path()).mkdir("ManageDoc"));

        RemoteSearch::Options o;
        o.requestWaitMs = 1500;
        o.closePauseMs = 300;
        m_search.reset(new RemoteSearch(o));
        QVERIFY(m_search->listen(QHostAddress::LocalHost, 0));
    }

    void cleanupTestCase() { m_search.reset(); }

    void eventLogRepliesNewestFirst()
    {
        QSignalSpy light(m_search.get(), &RemoteSearch::indicateRemoteLight);
        QCOMPARE(query("5", "2024-01-01", "2024-01-31"),
                 frames({row("火警", "B", "2024-01-31 23:59:59"), row("火警", "一号楼 A", "2024-01-15 10:00:00"),
                         row("火警", "F", "2024-01-01 00:00:00")}));
        QTRY_COMPARE(light.size(), 2);
        QCOMPARE(light.at(0).at(0).value<uchar>(), uchar(2));
        QCOMPARE(light.at(1).at(0).value<uchar>(), uchar(1));

        // No name for 0: every action of the day; 11 is "设备故障", read as "故障".
        QCOMPARE(query("11", "2024-01-20", "2024-01-20"),
                 frames({row("故障", "E", "2024-01-20 08:00:00"), row("故障", "H", "2024-01-20 07:00:00")}));
        const QByteArray day = frames({row("维保记录", "G", "2024-01-20 09:00:00"), row("故障", "E", "2024-01-20 08:00:00"),
                                       row("故障", "H", "2024-01-20 07:00:00")});
        // In parallel, each on its own database connection.
        for (const QByteArray &reply : askAll(encodeFrame(encodeRequest("0", "2024-01-20", "2024-01-20")), 8))
            QCOMPARE(reply, day);
        // The dates are bound values, not statement text; an empty range has no lines.
        QVERIFY(query("5", "2030-01-01' or atime >= '", "2024-01-31").isEmpty());
        QVERIFY(query("5", "2025-01-01", "2025-01-31").isEmpty());

        // Without an event log: no lines, and no empty database left behind.
        QTemporaryDir empty;
        AppPaths::setAppDir(empty.path());
        QVERIFY(query("0", "2024-01-01", "2024-12-31").isEmpty());
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(!QFile::exists(empty.filePath("EventRec.db")));
    }

    void documentsAndSystemNames()
    {
        QByteArray doc;
        for (int i = 0; i < 10000; ++i)
            doc += char(i * 7919 % 251);
        QFile file(m_dir.filePath(QStringLiteral("ManageDoc/管理机构.pdf")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(doc) == doc.size());
        file.close();
        QByteArray r = query("1000", "x", "y");
        const FrameResult line = decodeFrame(r, 1023);
        QCOMPARE(line.status, FrameResult::Complete);
        const QStringList f = QString::fromUtf8(line.payload).split("||");
        QCOMPARE(f.mid(0, 3), (QStringList{"10.1.2.3", QStringLiteral("系统文件"), QStringLiteral("管理机构.pdf")}));
        QVERIFY(QDateTime::fromString(f.value(3), "yyyy-MM-dd HH:mm:ss").isValid());
        QCOMPARE(r.mid(line.consumed), sizeField(10000) + doc);

        // Missing, too large for the size field (sparse), or a system name: nothing.
        QFile huge(m_dir.filePath(QStringLiteral("ManageDoc/系统控制逻辑关系.pdf")));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 31));
        QVERIFY(query("1001", "", "").isEmpty());
        QVERIFY(query("1002", "", "").isEmpty());
        qint64 ms = 0;
        QVERIFY(ask(encodeFrame(encodeRequest("1008", "2024-01-01", "2024-12-31")), &ms).isEmpty());
        QVERIFY2(ms >= 250, qPrintable(QString::number(ms))); // closed after the pause
    }

    void documentShorterThanAnnouncedEndsTheReply()
    {
        QFile big(m_dir.filePath(QStringLiteral("ManageDoc/设备使用说明书.pdf")));
        QVERIFY(big.open(QIODevice::WriteOnly));
        for (int i = 0; i < 50; ++i)
            big.write(QByteArray(1 << 20, 'd'));
        big.close();
        // Not reading, so the server is held up inside the file; then the
        // file loses most of its bytes.
        QTcpSocket s;
        s.setReadBufferSize(4096);
        s.connectToHost(QHostAddress::LocalHost, m_search->serverPort());
        s.write(encodeFrame(encodeRequest("1003", "", "")));
        QTRY_VERIFY(s.bytesAvailable() > 0);
        QVERIFY(big.resize(1 << 20));
        s.setReadBufferSize(0);
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&]() { return (got += s.readAll(), s.state() == QAbstractSocket::UnconnectedState); },
                                20000));
        got += s.readAll();
        const int head = decodeFrame(got, 1023).consumed;
        QCOMPARE(got.mid(head, 4), sizeField(50 << 20));
        QVERIFY(head > 0 && got.size() - head - 4 < (50 << 20));
        QVERIFY(workersEnded());
    }

    void badRequestsAreClosedWithoutReply()
    {
        QSignalSpy light(m_search.get(), &RemoteSearch::indicateRemoteLight);
        qint64 ms = 0;
        QVERIFY(ask(encodeFrame("5||2024-01-01"), &ms).isEmpty() && ms >= 0);
        // Refused from the length alone, long before the request wait ends.
        QVERIFY(ask(sizeField(5000) + QByteArray(100, 'x'), &ms).isEmpty());
        QVERIFY2(ms >= 0 && ms < 1000, qPrintable(QString::number(ms)));
        QVERIFY(ask(sizeField(1024) + QByteArray(1024, 'x'), &ms).isEmpty() && ms >= 0);
        // Three bytes, then silence: dropped when the request wait is over.
        QVERIFY(ask(QByteArray("\x10\x00\x00", 3), &ms).isEmpty());
        QVERIFY2(ms >= 1400, qPrintable(QString::number(ms)));
        QCOMPARE(light.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRemoteSearch)
#include "tst_remotesearch.moc"
