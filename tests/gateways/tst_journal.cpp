// The store-and-forward journal on real SQLite files: order and bytes kept
// across a reopen, the caps, a SIGKILL in the middle of appending, damaged
// and unwritable files.

#include "common/testfiles.h"
#include "gateways/journal.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {
QList<QByteArray> payloads(const QList<Journal::Entry> &entries)
{
    QList<QByteArray> out;
    for (const Journal::Entry &e : entries)
        out << e.payload;
    return out;
}

// Run as a child process: appends "0", "1", ... and prints each number once
// its append has returned, until it is killed.
int appendUntilKilled(const QString &path)
{
    Journal j;
    if (!j.open(path))
        return 2;
    for (int i = 0; i < 1000000; ++i) {
        if (j.append(QByteArray::number(i)) == 0)
            return 3;
        printf("%d\n", i);
        fflush(stdout);
    }
    return 0;
}
} // namespace

class TestJournal : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void keepsOrderAndBytesAcrossReopen()
    {
        const QByteArray binary("\x00\xff{\"a\"}\r\n\x00", 10);
        const QByteArray big(4000, 'x');
        qint64 lastId = 0;
        {
            Journal j;
            QVERIFY(j.open(file("order.db")));
            QVERIFY(j.isPersistent());
            const qint64 a = j.append("first");
            const qint64 b = j.append(binary);
            const qint64 c = j.append(big);
            QVERIFY(a > 0 && b > a && c > b);
            QCOMPARE(j.count(), 3);
            QCOMPARE(j.bytes(), qint64(5 + binary.size() + big.size()));
            QCOMPARE(payloads(j.peek(10)), (QList<QByteArray>{"first", binary, big}));
            // A byte bound still yields at least the oldest entry.
            QCOMPARE(j.peek(10, 1).size(), 1);
            QCOMPARE(j.peek(10, 5 + binary.size()).size(), 2);
            QCOMPARE(j.remove({b, b, 999}), 1);
            QCOMPARE(j.bytes(), qint64(5 + big.size()));
            lastId = c;
        }
        Journal j;
        QVERIFY(j.open(file("order.db")));
        QCOMPARE(j.count(), 2);
        QCOMPARE(j.bytes(), qint64(5 + big.size()));
        QCOMPARE(payloads(j.peek(10)), (QList<QByteArray>{"first", big}));
        // Ids are never handed out twice, even after everything went.
        j.clear();
        QCOMPARE(j.count(), 0);
        QVERIFY(j.append("after") > lastId);
    }

    // A batch goes in as few statements: ids, order, totals and the caps
    // must come out as from one append per payload, also after a reopen,
    // and a removal takes exactly the acknowledged ids, runs or scattered.
    void batchesKeepOrderIdsAndCaps()
    {
        LogCapture log;
        QList<QByteArray> batch;
        for (int i = 0; i < 250; ++i)
            batch << QByteArray::number(i).rightJustified(4, '0');
        batch[7] = QByteArray(2000, 'x'); // over the byte cap: refused alone
        qint64 bytes = 0;
        for (const QByteArray &b : batch)
            bytes += b.size() > 1000 ? 0 : b.size();
        QList<qint64> ids;
        {
            Journal j;
            QVERIFY(j.open(file("batch.db"), JournalCaps{1000, 1000}));
            ids = j.append(batch);
            QCOMPARE(ids.size(), batch.size());
            QCOMPARE(ids.at(7), qint64(0));
            QCOMPARE(log.count("larger than the cap"), 1);
            QCOMPARE(j.count(), 249);
            QCOMPARE(j.bytes(), bytes);
        }
        Journal j;
        QVERIFY(j.open(file("batch.db"), JournalCaps{1000, 1000}));
        const QList<Journal::Entry> all = j.peek(1000);
        QCOMPARE(all.size(), 249);
        for (int i = 0, k = 0; i < batch.size(); ++i) {
            if (i == 7)
                continue;
            QCOMPARE(all.at(k).id, ids.at(i));
            QCOMPARE(all.at(k).payload, batch.at(i));
            QVERIFY(k == 0 || all.at(k).id > all.at(k - 1).id);
            ++k;
        }
        // A run of ids, then scattered ones with one already gone.
        QCOMPARE(j.remove({ids.at(10), ids.at(11), ids.at(12), ids.at(13)}), 4);
        QCOMPARE(j.remove({ids.at(20), ids.at(40), ids.at(12), ids.at(60)}), 3);
        QCOMPARE(j.count(), 242);
        QCOMPARE(j.bytes(), bytes - 7 * 4);
        QCOMPARE(j.peek(1, -1, ids.at(9)).first().id, ids.at(14));

        // The caps: a batch that fits after dropping the oldest drops just
        // those; a batch larger than the cap keeps only its own newest.
        Journal c;
        QVERIFY(c.open(file("batchcaps.db"), JournalCaps{5, 1000}));
        c.append(QList<QByteArray>{"a", "b", "c", "d"});
        c.append(QList<QByteArray>{"e", "f", "g"});
        QCOMPARE(payloads(c.peek(10)), (QList<QByteArray>{"c", "d", "e", "f", "g"}));
        QCOMPARE(c.droppedCount(), qint64(2));
        const QList<qint64> big = c.append(QList<QByteArray>{"1", "2", "3", "4", "5", "6", "7"});
        QVERIFY(big.last() > big.first());
        QCOMPARE(payloads(c.peek(10)), (QList<QByteArray>{"3", "4", "5", "6", "7"}));
        QCOMPARE(c.count(), 5);
        QCOMPARE(c.bytes(), qint64(5));
    }

    void dropsOldestBeyondTheCapsOneLinePerEpisode()
    {
        LogCapture log;
        Journal j;
        QVERIFY(j.open(file("caps.db"), JournalCaps{5, 1000}));
        for (int i = 0; i < 8; ++i)
            QVERIFY(j.append(QByteArray::number(i)) > 0);
        QCOMPARE(payloads(j.peek(10)), (QList<QByteArray>{"3", "4", "5", "6", "7"}));
        QCOMPARE(j.droppedCount(), qint64(3));
        QCOMPARE(log.count("full"), 1);

        // Room again (delivery caught up), then full again: a second episode.
        QList<qint64> ids;
        for (const Journal::Entry &e : j.peek(10))
            ids << e.id;
        QCOMPARE(j.remove(ids), 5);
        for (int i = 0; i < 7; ++i)
            j.append("again");
        QCOMPARE(j.count(), 5);
        QCOMPARE(log.count("full"), 2);

        // The byte cap: three of 40 bytes do not fit in 100.
        Journal b;
        QVERIFY(b.open(file("bytes.db"), JournalCaps{100, 100}));
        for (char c : {'a', 'b', 'c'})
            b.append(QByteArray(40, c));
        QCOMPARE(payloads(b.peek(10)), (QList<QByteArray>{QByteArray(40, 'b'), QByteArray(40, 'c')}));
        QCOMPARE(b.bytes(), qint64(80));
        // One entry larger than the whole cap is refused, and drops nothing.
        QCOMPARE(b.append(QByteArray(101, 'z')), qint64(0));
        QCOMPARE(b.count(), 2);
        QCOMPARE(log.count("larger than the cap"), 1);
    }

    void survivesSigkillWhileAppending()
    {
        const QString path = file("killed.db");
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--append-until-killed", path});
        QVERIFY(child.waitForStarted());
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += child.readAllStandardOutput()).count('\n') >= 300, 30000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        out += child.readAllStandardOutput();
        const QList<QByteArray> lines = out.left(out.lastIndexOf('\n')).split('\n');
        const int confirmed = lines.size();

        Journal j;
        QVERIFY(j.open(path));
        // Every confirmed append is there, in order, and at most the one in
        // progress at the kill besides.
        QVERIFY2(j.count() == confirmed || j.count() == confirmed + 1,
                 qPrintable(QStringLiteral("%1 stored, %2 confirmed").arg(j.count()).arg(confirmed)));
        const QList<Journal::Entry> entries = j.peek(j.count());
        for (int i = 0; i < entries.size(); ++i)
            QCOMPARE(entries.at(i).payload, QByteArray::number(i));
    }

    void damagedOrUnwritableFilesAreLoggedAndReplaced()
    {
        LogCapture log;
        const QString path = file("damaged.db");
        const QByteArray garbage = QByteArray("this is not a journal ").repeated(200);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(garbage);
        }
        Journal j;
        QVERIFY(j.open(path));
        QVERIFY(j.append("fresh") > 0);
        QCOMPARE(log.count("damaged file"), 1);
        const QStringList aside = QDir(m_dir.path()).entryList({"damaged.db.corrupt-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(file(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), garbage);

        // No file to be had: the journal still queues, in memory, and says so.
        Journal m;
        QVERIFY(!m.open(file("no-such-dir/j.db")));
        QVERIFY(!m.isPersistent());
        QVERIFY(m.append("kept while running") > 0);
        QCOMPARE(payloads(m.peek(1)), QList<QByteArray>{"kept while running"});
        QCOMPARE(log.count("in memory only"), 1);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--append-until-killed") == 0)
        return appendUntilKilled(QString::fromLocal8Bit(argv[2]));
    TestJournal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
