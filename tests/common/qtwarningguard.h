#pragma once
// Fails a test when Qt warns about objects used across threads: such a
// warning means a link or timer was touched from a thread that does not own it.

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
#include <QtGlobal>

#include <utility>

namespace QtWarningGuard {

// Workers log too, and QtTest's own handler and its list of expected
// messages are not thread-safe: both are used under lock only.
struct State {
    QMutex lock;
    QStringList seen; // under lock
    QtMessageHandler previous = nullptr;
};
inline State &state() { static State s; return s; }

inline void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    static const char *const needles[] = {"QObject", "Cannot create children", "moved to",
                                          "another thread", "different thread", "QSocketNotifier"};
    QMutexLocker l(&state().lock);
    for (const char *n : needles) {
        if (type != QtDebugMsg && type != QtInfoMsg && msg.contains(QLatin1String(n))) {
            state().seen.append(msg);
            break;
        }
    }
    if (state().previous)
        state().previous(type, ctx, msg);
}

// QTest::ignoreMessage for a message a worker may log at the same time.
inline void ignoreMessage(QtMsgType type, const QRegularExpression &pattern)
{
    QMutexLocker l(&state().lock);
    QTest::ignoreMessage(type, pattern);
}

inline void install() { state().previous = qInstallMessageHandler(handler); }

// The thread warnings seen since the last call.
inline QStringList take()
{
    QMutexLocker l(&state().lock);
    return std::exchange(state().seen, QStringList());
}

} // namespace QtWarningGuard
