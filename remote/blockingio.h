#pragma once
// Blocking socket steps for the centre and query workers, which own their
// socket in their own thread and run no event loop. Every wait sleeps in
// the socket's poll and notices a stop request within a fraction of a second,
// so closing the server never waits out a 30 s or 60 s protocol period.

#include <QDeadlineTimer>
#include <QMutex>
#include <QTcpSocket>
#include <QWaitCondition>

#include <atomic>

// A stop request that a worker's waits notice.
class WorkerStop
{
public:
    void request();
    bool isRequested() const { return m_flag.load(); }
    // Sleeps up to ms; returns false at once when a stop is requested.
    bool sleep(int ms);
    // Sleeps until the deadline; returns false at once when a stop is requested.
    bool sleepUntil(QDeadlineTimer deadline);

private:
    std::atomic_bool m_flag{false};
    QMutex m_lock;          // pairs with m_cond; taken by request() and sleep()
    QWaitCondition m_cond;
};

// Paces lines by deadline: line n goes out no earlier than pause after line
// n-1 was due, so neither the write nor the lateness of a wake-up adds to the
// pause (sleeping the pause after each line gave 0.83 of the ceiling). A
// late wake-up is made up on the following lines, never going ahead of the
// schedule; a sender that fell behind by more than MaxLagPauses (a stall, a
// queue that ran empty) starts a new schedule instead of sending a burst.
class LinePacer
{
public:
    static constexpr int MaxLagPauses = 10;

    explicit LinePacer(int pauseMs) : m_pauseNs(qint64(pauseMs) * 1000000) {}
    // Sleeps until the next line is due; false when a stop cut it short.
    bool waitTurn(WorkerStop &stop);

private:
    const qint64 m_pauseNs;
    qint64 m_dueNs = 0; // steady clock, ns; 0: the first line goes at once
};

namespace BlockingIo {
// How long one socket wait lasts before the stop flag is looked at again.
constexpr int SliceMs = 200;

// Writes data and waits until the kernel has taken all of it. False when
// the connection fails, no byte moves for stallMs, or a stop is requested.
bool writeAll(QTcpSocket &socket, const QByteArray &data, int stallMs, const WorkerStop &stop);
// Waits until bytes are readable; false on time-out, close, error or stop.
bool waitReadable(QTcpSocket &socket, int timeoutMs, const WorkerStop &stop);
} // namespace BlockingIo
