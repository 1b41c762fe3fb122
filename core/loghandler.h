#pragma once
// The daily log file: every qDebug/qWarning/qCritical/qFatal line of every
// thread goes to "./Log/log-yyyy-MM-dd.txt" (relative to the working directory).

#include <QDateTime>
#include <QString>
#include <QtGlobal>
#include <functional>

namespace LogHandler {
// The clock the handler reads; tests replace it to cross midnight.
void setClock(std::function<QDateTime()> clock);
// "Level: File:(f) Line:(n) message (yyyy-MM-dd hh:mm:ss ddd)"; empty for
// message types that are not written (information).
QString formatLine(QtMsgType type, const QMessageLogContext &context, const QString &message,
                   const QDateTime &now);
QString fileNameFor(const QDate &day);
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
// Installs the handler only if "./Log" exists; returns whether it did.
bool installIfLogDirExists();
// The codec of the file's text: GB2312 unless set ("UTF-8" for Linux
// tools). Returns false, keeping the current one, for an unknown name.
bool setEncoding(const QByteArray &codecName);
// Daily files older than this many days are deleted when the day changes
// (and by removeOldFiles at start-up); 0 keeps them all.
void setKeepDays(int days);
// Deletes "./Log/log-yyyy-MM-dd.txt" files dated more than the keep days
// before today; returns how many.
int removeOldFiles(const QDate &today);
}
