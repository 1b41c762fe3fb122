// The daily log file: the line format, the day boundary, and lines from many
// threads that never interleave.
#include "common/testfiles.h"
#include "core/loghandler.h"

#include <QtTest>

class TestLogHandler : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_oldCwd;

    static QStringList linesOf(const QString &path)
    {
        QStringList lines = QTextCodec::codecForName("gb2312")->toUnicode(TestFiles::read(path)).split("\r\n");
        lines.removeAll(QString());
        return lines;
    }

private slots:
    void initTestCase()
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("gb2312"));
        m_oldCwd = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        LogHandler::setClock(nullptr);
        QDir::setCurrent(m_oldCwd);
    }

    void lineFormat()
    {
        const QDateTime t(QDate(2026, 12, 5), QTime(21, 45, 7));
        // A message holding "%1" keeps its own text.
        QCOMPARE(LogHandler::formatLine(QtWarningMsg, QMessageLogContext("widget", 88, "fn", "default"), "port %1 lost", t),
                 "Warning: File:(widget) Line:(88) port %1 lost (2026-12-05 21:45:07 " + t.toString("ddd") + ")");
        QVERIFY(LogHandler::formatLine(QtDebugMsg, QMessageLogContext(), "x", t).startsWith("Debug: File:() Line:(0) x ("));
        QVERIFY(LogHandler::formatLine(QtCriticalMsg, QMessageLogContext(), "x", t).startsWith("Critical:"));
        QVERIFY(LogHandler::formatLine(QtFatalMsg, QMessageLogContext(), "x", t).startsWith("Fatal:"));
        QVERIFY(LogHandler::formatLine(QtInfoMsg, QMessageLogContext(), "x", t).isEmpty());
    }

    void dailyFiles()
    {
        // Without a Log directory nothing is written anywhere.
        QVERIFY(!LogHandler::installIfLogDirExists());
        LogHandler::messageHandler(QtWarningMsg, QMessageLogContext(), "nowhere");
        QVERIFY(QDir(m_dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        QVERIFY(QDir().mkdir("Log"));
        QVERIFY(LogHandler::installIfLogDirExists());
        QDateTime now(QDate(2026, 12, 5), QTime(23, 59, 59, 900));
        LogHandler::setClock([&] { return now; });
        qDebug("before midnight 中文");
        qInfo("information is not written");
        now = QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0, 100));
        qWarning("after midnight");
        // Lines of four threads at once.
        now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([t] {
                for (int i = 0; i < 50; ++i)
                    qDebug("thread %d line %d end", t, i);
            });
            threads.last()->start();
        }
        for (QThread *t : threads) {
            t->wait();
            delete t;
        }
        qInstallMessageHandler(nullptr);
        const QStringList first = linesOf("Log/log-2026-12-05.txt");
        QCOMPARE(first.size(), 1);
        QVERIFY(first.first().startsWith("Debug: File:(") && first.first().contains("before midnight 中文 (2026-12-05 23:59:59 "));
        const QStringList second = linesOf("Log/log-2026-12-06.txt");
        QCOMPARE(second.size(), 1);
        QVERIFY(second.first().startsWith("Warning:") && second.first().contains("after midnight"));
        const QStringList lines = linesOf("Log/log-2026-01-02.txt");
        QCOMPARE(lines.size(), 200);
        const QString tail = "end (2026-01-02 03:04:05 " + QDate(2026, 1, 2).toString("ddd") + ")";
        for (const QString &l : lines)
            QVERIFY2(l.startsWith("Debug:") && l.endsWith(tail), qPrintable(l));
    }

    void oldFilesGoAndTheEncodingIsChosen()
    {
        QDir().mkpath("Log");
        for (const char *name : {"log-2026-10-01.txt", "log-2026-11-20.txt", "log-2026-12-06.txt",
                                 "notes.txt", "log-2026-13-01.txt"})
            QFile(QStringLiteral("Log/") + name).open(QIODevice::WriteOnly);
        LogHandler::setKeepDays(30);
        // The earlier tests left 2026-01-02 behind: it goes as well.
        QCOMPARE(LogHandler::removeOldFiles(QDate(2026, 12, 6)), 2);
        QVERIFY(!QFile::exists("Log/log-2026-10-01.txt") && !QFile::exists("Log/log-2026-01-02.txt"));
        QVERIFY(QFile::exists("Log/log-2026-11-20.txt") && QFile::exists("Log/notes.txt")
                && QFile::exists("Log/log-2026-13-01.txt"));

        // Running across midnight forty days later: the day's first line
        // removes what is now too old, and is written in UTF-8 when chosen.
        QVERIFY(!LogHandler::setEncoding("no-such-codec"));
        QVERIFY(LogHandler::setEncoding("UTF-8"));
        QVERIFY(LogHandler::installIfLogDirExists());
        QDateTime now(QDate(2026, 12, 30), QTime(23, 59, 59));
        LogHandler::setClock([&] { return now; });
        qWarning("last of the day");
        now = QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1));
        qWarning("火警 first of the year");
        qInstallMessageHandler(nullptr);
        LogHandler::setEncoding("GB2312");
        LogHandler::setKeepDays(0);
        QVERIFY(!QFile::exists("Log/log-2026-11-20.txt"));
        QVERIFY(QFile::exists("Log/log-2026-12-06.txt"));
        QFile f("Log/log-2027-01-01.txt");
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains(QStringLiteral("火警 first").toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
