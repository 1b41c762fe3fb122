#pragma once
// A socat pseudo-terminal pair for serial tests: the driver opens one end,
// the panel simulator the other. It can be killed and recreated under the
// same paths, as an unplugged and replugged adapter would be.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

class SocatPair
{
public:
    SocatPair(const QString &a, const QString &b) : m_a(a), m_b(b) {}
    ~SocatPair() { stop(); }

    bool start()
    {
        stop();
        QFile::remove(m_a);
        QFile::remove(m_b);
        m_proc = new QProcess;
        m_proc->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_proc->start(QStringLiteral("socat"),
                      {QStringLiteral("pty,raw,echo=0,link=") + m_a,
                       QStringLiteral("pty,raw,echo=0,link=") + m_b});
        if (!m_proc->waitForStarted(5000))
            return false;
        // socat creates the links right after it starts; wait for both.
        QDeadlineTimer deadline(5000);
        while (!(QFileInfo::exists(m_a) && QFileInfo::exists(m_b))) {
            if (deadline.hasExpired() || m_proc->state() != QProcess::Running)
                return false;
            m_proc->waitForFinished(20); // a sleeping wait on the child
        }
        return true;
    }
    // Kills socat outright: both pseudo-terminals vanish with it.
    void kill()
    {
        if (!m_proc)
            return;
        m_proc->kill();
        m_proc->waitForFinished(5000);
        delete m_proc;
        m_proc = nullptr;
        QFile::remove(m_a);
        QFile::remove(m_b);
    }
    void stop() { kill(); }
    QString a() const { return m_a; }
    QString b() const { return m_b; }

private:
    QString m_a;
    QString m_b;
    QProcess *m_proc = nullptr;
};
