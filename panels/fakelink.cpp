#include "panels/fakelink.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QTimer>

FakeLink::FakeLink(QObject *parent) : PanelLink(parent) {}

void FakeLink::setResponder(Responder responder)
{
    m_responder = std::move(responder);
}

QList<FakeLink::Write> FakeLink::writes() const
{
    QMutexLocker lock(&m_lock);
    return m_writes;
}

QList<QPair<quint8, QSerialPort::Parity>> FakeLink::writtenBytes() const
{
    QMutexLocker lock(&m_lock);
    QList<QPair<quint8, QSerialPort::Parity>> out;
    for (const Write &w : m_writes)
        for (char c : w.bytes)
            out.append(qMakePair(quint8(c), w.parity));
    return out;
}

QByteArray FakeLink::writtenData() const
{
    QMutexLocker lock(&m_lock);
    QByteArray out;
    for (const Write &w : m_writes)
        out += w.bytes;
    return out;
}

void FakeLink::clearWrites()
{
    QMutexLocker lock(&m_lock);
    m_writes.clear();
}

void FakeLink::inject(const QByteArray &bytes)
{
    QMetaObject::invokeMethod(this, [this, bytes] { deliver(bytes); }, Qt::QueuedConnection);
}

int FakeLink::openCount() const
{
    QMutexLocker lock(&m_lock);
    return m_nOpenCount;
}

QString FakeLink::devicePath() const
{
    QMutexLocker lock(&m_lock);
    return m_strPath;
}

int FakeLink::baudRate() const
{
    QMutexLocker lock(&m_lock);
    return m_nBaud;
}

void FakeLink::setSerialSettings(const QString &devicePath, int baudRate, QSerialPort::Parity parity)
{
    QMutexLocker lock(&m_lock);
    m_strPath = devicePath;
    m_nBaud = baudRate;
    m_parity = parity;
}

bool FakeLink::open()
{
    QMutexLocker lock(&m_lock);
    if (!m_bOpenResult)
        return false;
    ++m_nOpenCount;
    m_bOpened = true;
    return true;
}

void FakeLink::close()
{
    QMutexLocker lock(&m_lock);
    m_bOpened = false;
    m_pending.clear();
}

bool FakeLink::write(const QByteArray &bytes)
{
    QByteArray reply;
    {
        QMutexLocker lock(&m_lock);
        if (!m_bOpened)
            return false;
        m_writes.append(Write{bytes, m_parity});
        if (m_bFailWrites)
            return false;
    }
    if (m_responder)
        reply = m_responder(bytes, m_parity);
    if (!reply.isEmpty())
        QTimer::singleShot(0, this, [this, reply] { deliver(reply); });
    return true;
}

void FakeLink::deliver(const QByteArray &bytes)
{
    {
        QMutexLocker lock(&m_lock);
        if (!m_bOpened)
            return;
        m_pending += bytes;
    }
    emit readyRead();
}

QByteArray FakeLink::readAll()
{
    QMutexLocker lock(&m_lock);
    QByteArray out;
    out.swap(m_pending);
    return out;
}

void FakeLink::clear()
{
    QMutexLocker lock(&m_lock);
    m_pending.clear();
}

