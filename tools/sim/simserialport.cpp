#include "tools/sim/simserialport.h"

#include <QDebug>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

SimSerialPort::SimSerialPort(PanelSim &sim, QObject *parent) : SimTransport(parent), m_sim(sim)
{
    connect(&m_unsolicited, &QTimer::timeout, this, [this] { sendRaw(m_sim.unsolicited()); });
    if (m_sim.unsolicitedIntervalMs() > 0)
        m_unsolicited.start(m_sim.unsolicitedIntervalMs());
}

SimSerialPort::~SimSerialPort()
{
    close();
}

bool SimSerialPort::openDevice(const QString &path, qint32 baudRate)
{
    close();
    m_pPort = new QSerialPort(this);
    m_pPort->setPortName(path);
    if (!m_pPort->open(QIODevice::ReadWrite)) {
        m_strError = QStringLiteral("cannot open %1: %2").arg(path, m_pPort->errorString());
        delete m_pPort;
        m_pPort = nullptr;
        return false;
    }
    m_pPort->setBaudRate(baudRate);
    m_pPort->setDataBits(QSerialPort::Data8);
    m_pPort->setStopBits(QSerialPort::OneStop);
    m_pPort->setFlowControl(QSerialPort::NoFlowControl);
    m_pPort->setReadBufferSize(64 * 1024);
    m_bParityKnown = listenForParity();
    connect(m_pPort, &QSerialPort::readyRead, this, [this] { onSerialBytes(m_pPort->readAll()); });
    return true;
}

bool SimSerialPort::createPty(const QString &linkPath)
{
    close();
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0) {
        m_strError = QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    }
    const QByteArray slave = ptsname(m_nMaster);
    m_nSlaveKeep = ::open(slave.constData(), O_RDWR | O_NOCTTY);
    termios tio;
    if (tcgetattr(m_nMaster, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_nMaster, TCSANOW, &tio);
    }
    fcntl(m_nMaster, F_SETFL, fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
    QFile::remove(linkPath);
    if (!QFile::link(QString::fromLocal8Bit(slave), linkPath)) {
        m_strError = QStringLiteral("cannot link %1 to %2").arg(linkPath, QString::fromLocal8Bit(slave));
        close();
        return false;
    }
    m_strLink = linkPath;
    m_pNotifier = new QSocketNotifier(m_nMaster, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &SimSerialPort::readPty);
    return true;
}

void SimSerialPort::close()
{
    delete m_pNotifier;
    m_pNotifier = nullptr;
    if (m_pPort) {
        m_pPort->close();
        delete m_pPort;
        m_pPort = nullptr;
    }
    if (m_nSlaveKeep >= 0)
        ::close(m_nSlaveKeep);
    if (m_nMaster >= 0)
        ::close(m_nMaster);
    m_nSlaveKeep = m_nMaster = -1;
    if (!m_strLink.isEmpty())
        QFile::remove(m_strLink);
    m_strLink.clear();
}

void SimSerialPort::readPty()
{
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_nMaster, buf, sizeof buf);
        if (n > 0) {
            onBytes(QByteArray(buf, int(n)), QByteArray());
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
}

bool SimSerialPort::listenForParity()
{
    // Space parity with marked errors: a byte whose parity bit is 1 (sent
    // under mark) arrives as 0xFF 0x00 byte; a real 0xFF arrives doubled.
    const int fd = int(m_pPort->handle());
    termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0)
        return false;
    tio.c_cflag |= PARENB | CMSPAR;
    tio.c_cflag &= ~tcflag_t(PARODD);
    tio.c_iflag |= INPCK | PARMRK;
    tio.c_iflag &= ~tcflag_t(IGNPAR | ISTRIP);
    if (tcsetattr(fd, TCSANOW, &tio) != 0 || tcgetattr(fd, &tio) != 0)
        return false;
    if ((tio.c_cflag & (PARENB | CMSPAR)) == (PARENB | CMSPAR) && (tio.c_iflag & PARMRK))
        return true;
    // The device keeps no parity (a pseudo-terminal): undo the marking so
    // 0xFF bytes are not doubled.
    tio.c_iflag &= ~tcflag_t(PARMRK | INPCK);
    tcsetattr(fd, TCSANOW, &tio);
    return false;
}

void SimSerialPort::onSerialBytes(const QByteArray &raw)
{
    if (!m_bParityKnown) {
        onBytes(raw, QByteArray());
        return;
    }
    QByteArray bytes;
    QByteArray marks;
    for (char c : raw) {
        const quint8 b = quint8(c);
        if (m_nEscape == 0) {
            if (b == 0xFF) {
                m_nEscape = 1;
                continue;
            }
            bytes.append(c);
            marks.append('S');
        } else if (m_nEscape == 1) {
            if (b == 0xFF) { // a doubled 0xFF: the byte itself, no error
                bytes.append(c);
                marks.append('S');
                m_nEscape = 0;
            } else {
                m_nEscape = 2; // 0xFF 0x00: the next byte had a parity error
            }
        } else {
            bytes.append(c);
            marks.append('M');
            m_nEscape = 0;
        }
    }
    onBytes(bytes, marks);
}

void SimSerialPort::onBytes(const QByteArray &bytes, const QByteArray &marks)
{
    m_nBytesIn += bytes.size();
    m_marks += marks;
    const QByteArray reply = m_sim.feed(bytes);
    const QList<PanelSim::Frame> frames = m_sim.takeFrames();
    for (const PanelSim::Frame &f : frames) {
        QString text = f.text;
        if (m_bParityKnown) {
            // One letter per byte of the frame, e.g. [MSSSSSS] for an address byte and data.
            text += QStringLiteral(" [%1]").arg(QString::fromLatin1(m_marks.left(f.size)));
            m_marks.remove(0, f.size);
        }
        emit frameReceived(text);
    }
    if (m_marks.size() > 4096)
        m_marks.clear();
    if (!reply.isEmpty())
        sendRaw(reply);
}

void SimSerialPort::sendRaw(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_pPort) {
        m_pPort->write(bytes);
    } else if (m_nMaster >= 0) {
        if (::write(m_nMaster, bytes.constData(), size_t(bytes.size())) < 0)
            qWarning() << "panel simulator: write to pty failed:" << strerror(errno);
    }
}
