#include "core/loghandler.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTextStream>

namespace {
QMutex &logLock()
{
    static QMutex m; // non-recursive; serialises open-write-close across threads
    return m;
}

std::function<QDateTime()> &logClock()
{
    static std::function<QDateTime()> c = [] { return QDateTime::currentDateTime(); };
    return c;
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
    out << line << "\r\n";
    out.flush();
}

bool LogHandler::installIfLogDirExists()
{
    if (!QDir(QStringLiteral("./Log")).exists())
        return false;
    qInstallMessageHandler(messageHandler);
    return true;
}
