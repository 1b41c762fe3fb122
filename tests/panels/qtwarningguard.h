#pragma once
// Fails a test when Qt warns about objects used across threads: such a
// warning means a link or timer was touched from a thread that does not own it.

#include <QByteArray>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
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

// Workers log too, and QtTest's own handler and its list of expected
// messages are not thread-safe: both are used under lock() only.
inline void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    QMutexLocker l(&lock());
    if (type != QtDebugMsg && type != QtInfoMsg && isThreadWarning(msg))
        seen().append(msg);
    if (previous())
        previous()(type, ctx, msg);
}

// QTest::ignoreMessage for a message a worker may log at the same time.
inline void ignoreMessage(QtMsgType type, const QRegularExpression &pattern)
{
    QMutexLocker l(&lock());
    QTest::ignoreMessage(type, pattern);
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
