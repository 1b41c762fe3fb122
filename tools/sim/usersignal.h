#pragma once
// Turns SIGUSR1 or SIGUSR2 into a Qt signal in the main thread: the soak
// starts and stops its sources this way while they keep running to be
// counted.
// Construct it before any thread is started, so no thread leaves the signal
// unblocked (its default action would end the process).

#include <QObject>

class QSocketNotifier;

class UserSignal : public QObject
{
    Q_OBJECT
public:
    explicit UserSignal(int signalNumber, QObject *parent = nullptr);
    ~UserSignal() override;

signals:
    void raised();

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
