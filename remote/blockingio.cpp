#include "remote/blockingio.h"

#include <QDeadlineTimer>

void WorkerStop::request()
{
    QMutexLocker locker(&m_lock);
    m_flag = true;
    m_cond.wakeAll();
}

bool WorkerStop::sleep(int ms)
{
    QMutexLocker locker(&m_lock);
    QDeadlineTimer deadline(ms);
    while (!m_flag && !deadline.hasExpired())
        m_cond.wait(&m_lock, deadline);
    return !m_flag;
}

bool WorkerStop::sleepUntil(QDeadlineTimer deadline)
{
    QMutexLocker locker(&m_lock);
    while (!m_flag && !deadline.hasExpired())
        m_cond.wait(&m_lock, deadline);
    return !m_flag;
}

bool LinePacer::waitTurn(WorkerStop &stop)
{
    const qint64 now = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    if (m_dueNs == 0 || now - m_dueNs > MaxLagPauses * m_pauseNs)
        m_dueNs = now;
    const qint64 due = m_dueNs;
    m_dueNs += m_pauseNs;
    if (due <= now)
        return !stop.isRequested();
    QDeadlineTimer deadline(Qt::PreciseTimer);
    deadline.setPreciseDeadline(due / 1000000000, due % 1000000000, Qt::PreciseTimer);
    return stop.sleepUntil(deadline);
}

namespace BlockingIo {

bool writeAll(QTcpSocket &socket, const QByteArray &data, int stallMs, const WorkerStop &stop)
{
    if (socket.write(data) != data.size())
        return false;
    QDeadlineTimer stall(stallMs);
    while (socket.bytesToWrite() > 0) {
        if (stop.isRequested() || socket.state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket.waitForBytesWritten(SliceMs))
            stall.setRemainingTime(stallMs);
        else if (socket.error() != QAbstractSocket::SocketTimeoutError || stall.hasExpired())
            return false;
    }
    return true;
}

bool waitReadable(QTcpSocket &socket, int timeoutMs, const WorkerStop &stop)
{
    QDeadlineTimer deadline(timeoutMs);
    while (socket.bytesAvailable() == 0) {
        if (stop.isRequested() || socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
            return false;
        const int slice = int(qMin<qint64>(SliceMs, qMax<qint64>(deadline.remainingTime(), 1)));
        if (!socket.waitForReadyRead(slice) && socket.error() != QAbstractSocket::SocketTimeoutError)
            return false;
    }
    return true;
}

} // namespace BlockingIo
