#pragma once
// Fails a test when Qt warns about objects used across threads: such a
// warning means a link or timer was touched from a thread that does not own it.

#include <QByteArray>
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

namespace QtWarningGuard {

inline QMutex &lock() { static QMutex m; return m; }
inline QStringList &seen() { static QStringList s; return s; }
inline QtMessageHandler &previous() { static QtMessageHandler h = nullptr; return h; }

inline bool isThreadWarning(const QString &msg)
{
    static const char *const needles[] = {"QObject", "Cannot create children", "moved to",
                                          "another thread", "different thread", "QSocketNotifier"};
    for (const char *n : needles)
        if (msg.contains(QLatin1String(n)))
            return true;
    return false;
}

inline void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg && isThreadWarning(msg)) {
        QMutexLocker l(&lock());
        seen().append(msg);
    }
    if (previous())
        previous()(type, ctx, msg);
}

inline void install() { previous() = qInstallMessageHandler(handler); }

// The thread warnings seen since the last call.
inline QStringList take()
{
    QMutexLocker l(&lock());
    QStringList out = seen();
    seen().clear();
    return out;
}

} // namespace QtWarningGuard
