#include "core/loghandler.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTextCodec>
#include <QTextStream>

namespace {
QMutex &logLock()
{
    static QMutex m; // non-recursive; serialises open-write-close across threads
    return m;
}

// Under logLock, like the clock.
QTextCodec *g_codec = nullptr;   // null: the locale's codec (GB2312)
int g_keepDays = 0;
QDate g_lastDay;

std::function<QDateTime()> &logClock()
{
    static std::function<QDateTime()> c = [] { return QDateTime::currentDateTime(); };
    return c;
}
int removeOldFilesLocked(const QDate &today)
{
    if (g_keepDays <= 0)
        return 0;
    const QDate oldestKept = today.addDays(-g_keepDays);
    QDir dir(QStringLiteral("./Log"));
    int removed = 0;
    const QStringList files = dir.entryList({QStringLiteral("log-*.txt")}, QDir::Files);
    for (const QString &name : files) {
        // Only our own daily files: anything else in the folder stays.
        const QDate day = QDate::fromString(name.mid(4, 10), QStringLiteral("yyyy-MM-dd"));
        if (name.size() != 18 || !day.isValid() || day >= oldestKept)
            continue;
        removed += dir.remove(name) ? 1 : 0;
    }
    return removed;
}
} // namespace

void LogHandler::setClock(std::function<QDateTime()> c)
{
    QMutexLocker lock(&logLock());
    logClock() = c ? std::move(c) : [] { return QDateTime::currentDateTime(); };
}

QString LogHandler::formatLine(QtMsgType type, const QMessageLogContext &context,
                               const QString &message, const QDateTime &now)
{
    QString level;
    switch (type) {
    case QtDebugMsg: level = QStringLiteral("Debug:"); break;
    case QtWarningMsg: level = QStringLiteral("Warning:"); break;
    case QtCriticalMsg: level = QStringLiteral("Critical:"); break;
    case QtFatalMsg: level = QStringLiteral("Fatal:"); break;
    default: return QString();
    }
    const QString where = QStringLiteral("File:(%1) Line:(%2)")
                              .arg(QString::fromLocal8Bit(context.file ? context.file : ""))
                              .arg(context.line);
    const QString when = QStringLiteral("(%1)").arg(now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")));
    // One multi-argument pass: chained arg() calls would substitute the time
    // into a "%1" that happens to stand inside the message text.
    return QStringLiteral("%1 %2 %3 %4").arg(level, where, message, when);
}

QString LogHandler::fileNameFor(const QDate &day)
{
    return QStringLiteral("./Log/log-") + day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".txt");
}

void LogHandler::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QMutexLocker lock(&logLock());
    const QDateTime now = logClock()();
    const QString line = formatLine(type, context, message, now);
    if (line.isEmpty())
        return;
    QFile file(fileNameFor(now.date()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return; // nowhere to write; the line is lost, the lock is released
    QTextStream out(&file);
    if (g_codec)
        out.setCodec(g_codec);
    out << line << "\r\n";
    out.flush();
    file.close();
    // A new day: the old files go now (quietly: a log line from here would
    // come back into this handler).
    if (g_lastDay != now.date()) {
        if (g_lastDay.isValid())
            removeOldFilesLocked(now.date());
        g_lastDay = now.date();
    }
}

bool LogHandler::setEncoding(const QByteArray &codecName)
{
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    if (!codec)
        return false;
    QMutexLocker lock(&logLock());
    g_codec = codec;
    return true;
}

void LogHandler::setKeepDays(int days)
{
    QMutexLocker lock(&logLock());
    g_keepDays = qMax(0, days);
}

int LogHandler::removeOldFiles(const QDate &today)
{
    QMutexLocker lock(&logLock());
    return removeOldFilesLocked(today);
}

bool LogHandler::installIfLogDirExists()
{
    if (!QDir(QStringLiteral("./Log")).exists())
        return false;
    qInstallMessageHandler(messageHandler);
    return true;
}
