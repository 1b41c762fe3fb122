// History queries over real loopback sockets against a real SQLite event log
// and real document files: replies byte by byte, and requests that are refused.

#include "core/apppaths.h"
#include "core/servercontext.h"
#include "remote/remotecodec.h"
#include "remote/remotesearch.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace RemoteCodec;

namespace {
struct Reply
{
    QByteArray bytes;
    bool closed = false;
    qint64 closeMs = 0; // from the request to the close
};

QByteArray frames(const QStringList &lines)
{
    QByteArray out;
    for (const QString &l : lines)
        out += encodeFrame(l.toUtf8());
    return out;
}
} // namespace

class TestRemoteSearch : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<RemoteSearch> m_search;
    QByteArray m_document;

    void startSearch(int requestWaitMs = 3000)
    {
        RemoteSearch::Options o;
        o.requestWaitMs = requestWaitMs;
        o.closePauseMs = 300;
        m_search.reset(new RemoteSearch(o));
        QVERIFY(m_search->listen(QHostAddress::LocalHost, 0));
    }

    // Sends raw bytes and collects everything until the server closes.
    Reply ask(const QByteArray &raw)
    {
        Reply r;
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_search->serverPort());
        if (!QTest::qWaitFor([&]() { return s.state() == QAbstractSocket::ConnectedState; }, 5000))
            return r;
        QElapsedTimer t;
        t.start();
        s.write(raw);
        r.closed = QTest::qWaitFor([&]() {
            r.bytes += s.readAll();
            return s.state() == QAbstractSocket::UnconnectedState;
        }, 20000);
        r.bytes += s.readAll();
        r.closeMs = t.elapsed();
        return r;
    }

    Reply query(const QString &code, const QString &from, const QString &to)
    {
        return ask(encodeFrame(encodeRequest(code, from, to)));
    }

    static QString row(const QString &action, const QString &content, const QString &atime)
    {
        return logLine(QStringLiteral("10.1.2.3"), action, content, atime);
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
            const QList<QStringList> rows{
                {"火警", "一号楼 A", "2024-01-15 10:00:00"}, {"火警", "B", "2024-01-31 23:59:59"},
                {"火警", "after", "2024-02-01 00:00:00"}, {"火警", "before", "2023-12-31 23:59:59"},
                {"故障", "E", "2024-01-20 08:00:00"}, {"火警", "F", "2024-01-01 00:00:00"},
                {"维保记录", "G", "2024-01-20 09:00:00"}};
            for (const QStringList &r : rows) {
                q.prepare("insert into EventRecord (action, content, atime) values (?, ?, ?)");
                q.addBindValue(r.at(0));
                q.addBindValue(r.at(1));
                q.addBindValue(r.at(2));
                QVERIFY(q.exec());
            }
            // Text stored as bytes with a zero inside ends at the zero.
            q.prepare("insert into EventRecord (action, content, atime) values ('故障', ?, '2024-01-20 07:00:00')");
            q.addBindValue(QByteArray("H") + '\0' + "tail");
            QVERIFY(q.exec());
        }
        QSqlDatabase::removeDatabase("writer");

        QVERIFY(QDir(m_dir.path()).mkdir("ManageDoc"));
        m_document.resize(10000);
        for (char &c : m_document)
            c = char(QRandomGenerator::global()->bounded(256));
        QFile doc(m_dir.filePath(QStringLiteral("ManageDoc/管理机构.pdf")));
        QVERIFY(doc.open(QIODevice::WriteOnly) && doc.write(m_document) == m_document.size());
        doc.close();
        // Sparse: 2 GiB that takes no disk.
        QFile huge(m_dir.filePath(QStringLiteral("ManageDoc/系统控制逻辑关系.pdf")));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 31));
    }

    void cleanup()
    {
        m_search.reset();
    }

    void eventLogRepliesNewestFirst()
    {
        startSearch();
        QSignalSpy light(m_search.get(), &RemoteSearch::indicateRemoteLight);
        Reply r = query("5", "2024-01-01", "2024-01-31");
        QVERIFY(r.closed);
        QCOMPARE(r.bytes, frames({row("火警", "B", "2024-01-31 23:59:59"), row("火警", "一号楼 A", "2024-01-15 10:00:00"),
                                  row("火警", "F", "2024-01-01 00:00:00")}));
        QTRY_COMPARE(light.size(), 2);
        QCOMPARE(light.at(0).at(0).value<uchar>(), uchar(2));
        QCOMPARE(light.at(1).at(0).value<uchar>(), uchar(1));

        // No name for 0: every action of the day. 6 and 11 both mean "故障".
        const QByteArray day = frames({row("维保记录", "G", "2024-01-20 09:00:00"), row("故障", "E", "2024-01-20 08:00:00"),
                                       row("故障", "H", "2024-01-20 07:00:00")});
        QCOMPARE(query("0", "2024-01-20", "2024-01-20").bytes, day);
        QCOMPARE(query("11", "2024-01-20", "2024-01-20").bytes, frames({row("故障", "E", "2024-01-20 08:00:00"),
                                                                        row("故障", "H", "2024-01-20 07:00:00")}));
        // The dates are values, not statement text; an empty range has no lines.
        r = query("5", "2030-01-01' or atime >= '", "2024-01-31");
        QVERIFY(r.closed && r.bytes.isEmpty());
        r = query("5", "2025-01-01", "2025-01-31");
        QVERIFY(r.closed && r.bytes.isEmpty());

        // Queries in parallel, each on its own database connection.
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int i = 0; i < 8; ++i) {
            peers.push_back(std::make_unique<QTcpSocket>());
            peers.back()->connectToHost(QHostAddress::LocalHost, m_search->serverPort());
            peers.back()->write(encodeFrame(encodeRequest("0", "2024-01-20", "2024-01-20")));
        }
        QByteArray got[8];
        QVERIFY(QTest::qWaitFor([&]() {
            bool all = true;
            for (int i = 0; i < 8; ++i) {
                got[i] += peers[i]->readAll();
                all = all && peers[i]->state() == QAbstractSocket::UnconnectedState;
            }
            return all;
        }, 20000));
        for (int i = 0; i < 8; ++i)
            QCOMPARE(got[i] + peers[i]->readAll(), day);
    }

    void missingEventLogIsNotCreated()
    {
        QTemporaryDir empty;
        AppPaths::setAppDir(empty.path());
        startSearch();
        const Reply r = query("0", "2024-01-01", "2024-12-31");
        AppPaths::setAppDir(m_dir.path());
        QVERIFY(r.closed && r.bytes.isEmpty());
        QVERIFY(!QFile::exists(empty.filePath("EventRec.db")));
    }

    void documentsAndSystemNames()
    {
        startSearch();
        Reply r = query("1000", "x", "y");
        QVERIFY(r.closed);
        const FrameResult line = decodeFrame(r.bytes, 1023);
        QCOMPARE(line.status, FrameResult::Complete);
        const QStringList f = QString::fromUtf8(line.payload).split("||");
        QCOMPARE(f.mid(0, 3), (QStringList{"10.1.2.3", "系统文件", "管理机构.pdf"}));
        QVERIFY(QDateTime::fromString(f.value(3), "yyyy-MM-dd HH:mm:ss").isValid());
        QCOMPARE(r.bytes.mid(line.consumed), sizeField(10000) + m_document);

        // Missing, too large for the size field, or a system name: nothing.
        QVERIFY(query("1001", "", "").bytes.isEmpty());
        QVERIFY(query("1002", "", "").bytes.isEmpty());
        r = query("1008", "2024-01-01", "2024-12-31");
        QVERIFY(r.closed && r.bytes.isEmpty());
        QVERIFY2(r.closeMs >= 250, qPrintable(QString::number(r.closeMs))); // the pause before the close
        QVERIFY(query("1021", "2024-01-01", "2024-12-31").bytes.isEmpty());
    }

    void documentShorterThanAnnouncedEndsTheReply()
    {
        startSearch();
        QFile big(m_dir.filePath(QStringLiteral("ManageDoc/设备使用说明书.pdf")));
        QVERIFY(big.open(QIODevice::WriteOnly));
        const QByteArray mb(1 << 20, 'd');
        for (int i = 0; i < 50; ++i)
            big.write(mb);
        big.close();

        // Not reading, so the server is held up inside the file; then the
        // file loses most of its bytes.
        QTcpSocket s;
        s.setReadBufferSize(4096);
        s.connectToHost(QHostAddress::LocalHost, m_search->serverPort());
        QVERIFY(s.waitForConnected(5000));
        s.write(encodeFrame(encodeRequest("1003", "", "")));
        QTRY_VERIFY(s.bytesAvailable() > 0);
        QVERIFY(big.resize(1 << 20));
        s.setReadBufferSize(0);
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&]() {
            got += s.readAll();
            return s.state() == QAbstractSocket::UnconnectedState;
        }, 20000));
        got += s.readAll();
        const FrameResult line = decodeFrame(got, 1023);
        QCOMPARE(line.status, FrameResult::Complete);
        QCOMPARE(got.mid(line.consumed, 4), sizeField(50 << 20));
        QVERIFY(got.size() - line.consumed - 4 < (50 << 20));
        QVERIFY(big.remove());
    }

    void badRequestsAreClosedWithoutReply()
    {
        startSearch(1500);
        QSignalSpy light(m_search.get(), &RemoteSearch::indicateRemoteLight);
        Reply r = ask(encodeFrame("5||2024-01-01"));
        QVERIFY(r.closed && r.bytes.isEmpty());
        // Refused from the length alone, long before the request wait ends.
        r = ask(sizeField(5000) + QByteArray(100, 'x'));
        QVERIFY(r.closed && r.bytes.isEmpty());
        QVERIFY2(r.closeMs < 1000, qPrintable(QString::number(r.closeMs)));
        r = ask(sizeField(1024) + QByteArray(1024, 'x'));
        QVERIFY(r.closed && r.bytes.isEmpty());
        // Three bytes, then silence: dropped when the request wait is over.
        r = ask(QByteArray("\x10\x00\x00", 3));
        QVERIFY(r.closed && r.bytes.isEmpty());
        QVERIFY2(r.closeMs >= 1400, qPrintable(QString::number(r.closeMs)));
        QCOMPARE(light.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRemoteSearch)
#include "tst_remotesearch.moc"
