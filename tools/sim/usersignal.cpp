#include "tools/sim/usersignal.h"

#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

UserSignal::UserSignal(int signalNumber, QObject *parent) : QObject(parent)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0) {
        qWarning() << "signal" << signalNumber << "cannot be watched:" << strerror(errno);
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        signalfd_siginfo info;
        while (::read(m_fd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        emit raised();
    });
}

UserSignal::~UserSignal()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}
