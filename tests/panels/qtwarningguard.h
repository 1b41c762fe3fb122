#pragma once
// Fails a test when Qt warns about objects used across threads: such a
// warning means a link or timer was touched from a thread that does not own it.

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <utility>

namespace QtWarningGuard {

struct State {
    QMutex lock;
    QStringList seen; // under lock: the handler runs in any thread
    QtMessageHandler previous = nullptr;
};
inline State &state() { static State s; return s; }

inline void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    static const char *const needles[] = {"QObject", "Cannot create children", "moved to",
                                          "another thread", "different thread", "QSocketNotifier"};
    for (const char *n : needles) {
        if (type != QtDebugMsg && type != QtInfoMsg && msg.contains(QLatin1String(n))) {
            QMutexLocker l(&state().lock);
            state().seen.append(msg);
            break;
        }
    }
    if (state().previous)
        state().previous(type, ctx, msg);
}

inline void install() { state().previous = qInstallMessageHandler(handler); }

// The thread warnings seen since the last call.
inline QStringList take()
{
    QMutexLocker l(&state().lock);
    return std::exchange(state().seen, QStringList());
}

} // namespace QtWarningGuard
