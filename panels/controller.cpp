#include "panels/controller.h"

#include "core/servercontext.h"
#include "panels/seriallink.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTimer>

namespace {
// At 2400 baud a panel cannot fill this between two polls; anything beyond it
// is noise or a runaway peer.
const int kMaxRecvBuffer = 64 * 1024;
// Client commands waiting for one driver; more than this means the panel is
// far behind and further commands would only be stale when they go out.
const int kMaxCommands = 64;
// A pass without a link lasts as long as an unanswered poll would, and the
// device path is tried again this often.
const int kLostPassMs = 1000;
const int kReopenIntervalMs = 3000;
// How often a pass looks whether the device path still exists: a lookup
// of the path on every 200 ms pass was a tenth of an idle poll cycle.
const int kDeviceCheckMs = 1000;
const int kDatagramsPerNotification = 64;
}

Controller::Controller(const QString &strLink, int nControllerID, int nControllerType,
                       const PanelModel *model)
    : QThread(nullptr), m_nControllerID(nControllerID), m_nControllerType(nControllerType),
      m_pModel(model)
{
    m_nDisconnectTimes = ServerContext::instance().disconnectTimes;
    const int colon = strLink.indexOf(QLatin1Char(':'));
    m_strPortName = colon >= 0 ? strLink.mid(colon + 1) : strLink;
    m_timer = new QTimer(this);
    m_timer->setInterval(3000);
    m_pHomeThread = QThread::currentThread();
}

Controller::~Controller()
{
    // Models stop the worker in their own destructors (the loop calls their
    // overrides); this is the last line of defence.
    requestStop();
    if (isRunning())
        wait();
    if (m_pLink && m_pLink->isOpen() && m_pLink->thread() == QThread::currentThread())
        m_pLink->close();
    delete m_pLink;
}

bool Controller::openController()
{
    if (!m_pModel || m_pModel->link != PanelModel::Serial)
        return true;
    return openSerialPort(m_pModel->baudRate, m_pModel->parity);
}

bool Controller::closeController()
{
    closePort();
    return true;
}

bool Controller::isConnected()
{
    if (m_pModel && m_pModel->isNetwork())
        return m_bOpen.load();
    return m_pLink != nullptr && m_bOpen.load();
}

Controller::Result Controller::sendControl89() { return NotDone; }
Controller::Result Controller::sendControl94() { return NotDone; }
Controller::Result Controller::syncTime() { return NotDone; }
Controller::Result Controller::sendControl97() { return NotDone; }
Controller::Result Controller::pollPanel() { return Done; }

Controller::Result Controller::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(type); Q_UNUSED(strCode); Q_UNUSED(strEndCode);
    return NotDone;
}

void Controller::handleRecvData() {}

Controller::Result Controller::readValueSwitch(quint8 nPanelID, int nLoop, int nChannel, int nDevType)
{
    Q_UNUSED(nPanelID); Q_UNUSED(nLoop); Q_UNUSED(nChannel); Q_UNUSED(nDevType);
    return Done;
}

Controller::Result Controller::readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType)
{
    Q_UNUSED(nLoop); Q_UNUSED(nChannel); Q_UNUSED(nDevType);
    return NotDone;
}

QString Controller::controllerTypeName() const
{
    return m_pModel ? m_pModel->name : QString();
}

void Controller::setRemoteLight(uchar nStatus)
{
    Q_UNUSED(nStatus);
}

void Controller::workerEnding()
{
}

void Controller::setLink(PanelLink *link)
{
    if (isRunning()) {
        qWarning() << "Controller" << m_nControllerID << ": link cannot change while the worker runs";
        return;
    }
    if (link == m_pLink)
        return;
    delete m_pLink;
    m_pLink = link;
    if (m_pLink)
        m_pLink->setParent(nullptr);
}

void Controller::connectLink()
{
    connect(m_pLink, &PanelLink::readyRead, this, &Controller::receiveData,
            Qt::ConnectionType(Qt::UniqueConnection | Qt::DirectConnection));
    connect(m_pLink, &PanelLink::deviceLost, this, &Controller::onDeviceLost,
            Qt::ConnectionType(Qt::UniqueConnection | Qt::DirectConnection));
}

void Controller::start(QThread::Priority priority)
{
    if (isRunning()) {
        qWarning() << "Controller" << m_nControllerID << ": start while already running ignored";
        return;
    }
    m_bStopRequested.store(false);
    if (m_pLink && m_pLink->thread() != this) {
        if (m_pLink->thread() != QThread::currentThread()) {
            qCritical() << "Controller" << m_nControllerID
                        << ": link lives in a foreign thread, worker not started";
            return;
        }
        m_pLink->moveToThread(this);
    }
    QThread::start(priority);
}

bool Controller::openSerialPort(int baudRate, QSerialPort::Parity parity)
{
    if (isRunning())
        closePort(); // reopening a running driver: stop its worker first
    m_strDevicePath = ServerContext::instance().serialDevicePath(m_strPortName);
    if (!m_pLink)
        setLink(new SerialLink);
    m_pLink->setSerialSettings(m_strDevicePath, baudRate, parity);
    m_pLink->close();
    if (!m_pLink->open()) {
        qDebug() << "openSerialPort" << m_strPortName << "at" << m_strDevicePath
                 << "failed:" << m_pLink->errorText();
        return false;
    }
    connectLink();
    m_pLink->clear();
    m_bLinkLost.store(false);
    m_bStopRequested.store(false);
    startHearing();
    m_bOpen.store(true);
    return true;
}

bool Controller::connectUdpLink()
{
    if (!m_pLink) {
        qWarning() << "connectUdpLink: controller" << m_nControllerID << "has no link";
        return false;
    }
    // closePort closes the socket; a driver opened again must listen again.
    if (!m_pLink->isOpen() && !m_pLink->open()) {
        qWarning() << "connectUdpLink: controller" << m_nControllerID << "cannot bind"
                   << m_pLink->description() << ":" << m_pLink->errorText();
        return false;
    }
    m_bStopRequested.store(false);
    startHearing();
    m_bOpen.store(true);
    connectLink();
    return true;
}

void Controller::requestStop()
{
    m_bStopRequested.store(true);
    QMutexLocker lock(&m_stopLock);
    if (m_bWorkerActive) {
        if (QAbstractEventDispatcher *d = eventDispatcher())
            d->wakeUp();
    }
}

void Controller::closePort()
{
    m_bOpen.store(false);
    if (m_timer->isActive()) {
        m_timer->stop();
        m_nTimeOutCount.store(10);
        m_nValidCountdown.store(10);
    }
    requestStop();
    if (QThread::currentThread() == this) {
        qWarning() << "closePort: controller" << m_nControllerID << "cannot stop itself from its worker";
        return;
    }
    if (isRunning())
        wait(); // the worker leaves its wait at once and hands the link back
    if (m_pLink) {
        disconnect(m_pLink, &PanelLink::readyRead, this, &Controller::receiveData);
        if (m_pLink->thread() == QThread::currentThread())
            m_pLink->close();
        else
            qWarning() << "closePort: link of controller" << m_nControllerID << "is not ours to close";
    }
    m_bLinkLost.store(false);
}

void Controller::startWatchdog()
{
    if (m_timer->isActive())
        return;
    connect(m_timer, &QTimer::timeout, this, &Controller::slothandleTimeOut, Qt::UniqueConnection);
    m_timer->start(3000);
}

void Controller::slothandleTimeOut()
{
    for (std::atomic<int> *count : {&m_nTimeOutCount, &m_nValidCountdown}) {
        int v = count->load();
        while (v > 0 && !count->compare_exchange_weak(v, v - 1)) {
        }
    }
}

void Controller::startHearing()
{
    // Heard since this open, not before.
    m_nLastReceiveMs.store(0);
    m_nInvalidSinceValid.store(0);
    m_nValidCountdown.store(10);
}

void Controller::noteFrame(bool bValid)
{
    if (bValid) {
        m_nInvalidSinceValid.store(0);
        m_nValidCountdown.store(10);
    } else {
        m_nInvalidFrames.fetch_add(1, std::memory_order_relaxed);
        m_nInvalidSinceValid.fetch_add(1);
    }
}

void Controller::receiveData()
{
    if (!m_bOpen.load() || !m_pLink)
        return; // the bytes stay in the link
    m_nTimeOutCount.store(10);
    if (m_pLink->isDatagram()) {
        // One datagram per handleRecvData: datagrams that arrived together
        // must not run into one record, or all but the first would be lost.
        // A bounded number per notification: the socket notifies again for
        // the rest, so a flood cannot hold the worker here.
        QByteArray datagram;
        for (int n = 0; n < kDatagramsPerNotification && m_bOpen.load() && m_pLink->readDatagram(&datagram); ++n) {
            m_nLastReceiveMs.store(QDateTime::currentMSecsSinceEpoch());
            appendReceived(datagram, true);
            handleRecvData();
        }
        return;
    }
    const QByteArray bytes = m_pLink->readAll();
    if (!bytes.isEmpty())
        m_nLastReceiveMs.store(QDateTime::currentMSecsSinceEpoch());
    appendReceived(bytes, false);
    handleRecvData();
}

void Controller::appendReceived(const QByteArray &bytes, bool replace)
{
    m_nBytesReceived.fetch_add(quint64(bytes.size()), std::memory_order_relaxed);
    QMutexLocker lock(&m_lock);
    if (replace)
        m_recvBuffer.clear();
    // Cap before keeping: only the newest kMaxRecvBuffer bytes survive.
    const int total = m_recvBuffer.size() + bytes.size();
    if (total > kMaxRecvBuffer) {
        if (!m_bOverflowLogged) {
            m_bOverflowLogged = true;
            qWarning() << "Controller" << m_nControllerID << m_strPortName
                       << ": receive buffer over" << kMaxRecvBuffer << "bytes, dropping the oldest";
        }
        if (bytes.size() >= kMaxRecvBuffer) {
            m_recvBuffer = bytes.right(kMaxRecvBuffer);
            return;
        }
        m_recvBuffer.remove(0, total - kMaxRecvBuffer);
    }
    m_recvBuffer.append(bytes);
}

void Controller::clearRecvBuffer()
{
    QMutexLocker lock(&m_lock);
    m_recvBuffer.clear();
    m_bOverflowLogged = false;
}

QByteArray Controller::takeRecvBuffer()
{
    QMutexLocker lock(&m_lock);
    QByteArray out;
    out.swap(m_recvBuffer);
    m_bOverflowLogged = false;
    return out;
}

int Controller::recvBufferSize() const
{
    QMutexLocker lock(&m_lock);
    return m_recvBuffer.size();
}

bool Controller::waitUntil(int ms, int wantBytes, bool interruptible)
{
    QDeadlineTimer deadline(qMax(ms, 0), Qt::PreciseTimer);
    // A single-shot timer of the waiting thread wakes its dispatcher at the
    // deadline; arriving bytes and stop requests wake it earlier.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    for (;;) {
        if (interruptible && m_bStopRequested.load())
            return false;
        if (wantBytes > 0 && recvBufferSize() >= wantBytes)
            return true;
        if (interruptible && m_bLinkLost.load() && m_pLink && m_pLink->isOpen()) {
            dropLostLink();
            return false;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return wantBytes <= 0;
        if (!dispatcher) {
            QThread::msleep(quint32(left)); // a thread without an event loop: nothing to receive
            continue;
        }
        wake.start(int(left));
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    }
}

int Controller::delayMs(int ms)
{
    QElapsedTimer clock;
    clock.start();
    waitUntil(ms, 0, true);
    return int(clock.elapsed());
}

bool Controller::readPortData(QByteArray &out, int length, int maxTicks)
{
    // The protocols count 10 ms ticks and give up when the count exceeds maxTicks.
    if (length > 0 && !waitUntil((maxTicks + 1) * 10, length, true)) {
        if (!m_bStopRequested.load())
            m_nCommState.store(0);
        return false;
    }
    {
        QMutexLocker lock(&m_lock);
        const int n = length > 0 ? length : m_recvBuffer.size();
        out = m_recvBuffer.left(n);
        m_recvBuffer.remove(0, n);
        if (m_recvBuffer.isEmpty())
            m_bOverflowLogged = false;
    }
    m_nCommState.store(1);
    return true;
}

bool Controller::setParity(QSerialPort::Parity parity)
{
    return m_pLink && m_pLink->setParity(parity);
}

bool Controller::setDataTerminalReady(bool on)
{
    return m_pLink && m_pLink->setDataTerminalReady(on);
}

bool Controller::writePortData(const char *data, int length)
{
    if (!m_pLink || !m_pLink->isOpen() || length <= 0 || m_bStopRequested.load())
        return false;
    m_pLink->clear();
    clearRecvBuffer();
    const PanelModel::WritePacing pacing = m_pModel ? m_pModel->pacing : PanelModel::WholeFrame;
    bool ok = true;
    // The pauses inside a frame are not cut short by a stop request: a stop
    // never leaves half a frame on the line.
    if (pacing == PanelModel::BytePaced) {
        for (int i = 0; i < length; ++i) {
            ok = m_pLink->write(QByteArray(data + i, 1)) && ok;
            pauseMs(10);
        }
    } else if (pacing == PanelModel::AddressMark) {
        // The first byte is an address byte in the 9-bit sense (mark), the
        // rest are data bytes (space).
        ok = m_pLink->setParity(QSerialPort::MarkParity);
        ok = m_pLink->write(QByteArray(data, 1)) && ok;
        if (length > 1) {
            pauseMs(4);
            ok = m_pLink->setParity(QSerialPort::SpaceParity) && ok;
            ok = m_pLink->write(QByteArray(data + 1, length - 1)) && ok;
        }
    } else {
        ok = m_pLink->write(QByteArray(data, length));
    }
    if (!ok)
        qDebug() << "writePortData" << m_strPortName << "failed:" << m_pLink->errorText();
    return ok;
}

void Controller::onDeviceLost()
{
    // Runs inside the link's own signal: only note it; the worker closes the
    // link at its next wait, outside the link's code.
    if (!m_bLinkLost.exchange(true))
        qWarning() << "Controller" << m_nControllerID << ": device" << m_strDevicePath
                   << "of" << m_strPortName << "lost, reopening every" << kReopenIntervalMs / 1000 << "s";
}

void Controller::dropLostLink()
{
    if (m_pLink && m_pLink->isOpen())
        m_pLink->close();
    clearRecvBuffer();
    m_nNextReopenMs = QDateTime::currentMSecsSinceEpoch() + kReopenIntervalMs;
}

Controller::Result Controller::passWithLostLink()
{
    if (m_pLink && m_pLink->isOpen())
        dropLostLink();
    waitUntil(kLostPassMs, 0, true);
    if (m_bStopRequested.load())
        return NoAnswer;
    m_nCommState.store(0);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < m_nNextReopenMs)
        return NoAnswer;
    m_nNextReopenMs = now + kReopenIntervalMs;
    if (m_pLink && !m_pLink->deviceGone() && m_pLink->open()) {
        m_pLink->clear();
        m_bLinkLost.store(false);
        qWarning() << "Controller" << m_nControllerID << ": device" << m_strDevicePath << "reopened";
    }
    return NoAnswer;
}

void Controller::run()
{
    {
        QMutexLocker lock(&m_stopLock);
        m_bWorkerActive = true;
    }
    QElapsedTimer deviceCheck; // since the device path was last looked at
    while (!m_bStopRequested.load()) {
        processPendingCommand();
        if (m_bStopRequested.load())
            break;
        delayMs(m_nPassDelayMs);
        if (m_bStopRequested.load())
            break;
        if (!m_bLinkLost.load() && m_pLink && (!deviceCheck.isValid() || deviceCheck.hasExpired(kDeviceCheckMs))) {
            deviceCheck.start();
            if (m_pLink->deviceGone())
                onDeviceLost();
        }
        const Result r = m_bLinkLost.load() ? passWithLostLink() : pollPanel();
        if (m_bStopRequested.load())
            break; // a poll cut short by the stop says nothing about the panel
        countPollResult(r);
    }
    workerEnding();
    if (m_pLink && m_pLink->thread() == this)
        m_pLink->moveToThread(m_pHomeThread);
    QMutexLocker lock(&m_stopLock);
    m_bWorkerActive = false;
}

void Controller::countPollResult(Result r)
{
    if (r == Done)
        m_nPollsAnswered.fetch_add(1, std::memory_order_relaxed);
    else if (r == NoAnswer)
        m_nPollsFailed.fetch_add(1, std::memory_order_relaxed);
    if (r == NoAnswer) {
        const int n = m_nFailCount.fetch_add(1) + 1;
        if (n == m_nDisconnectTimes)
            emitCommEvent(true);
    }
    if (r == Done && m_nFailCount.load() >= m_nDisconnectTimes) {
        emitCommEvent(false);
        m_nFailCount.store(0);
    }
}

void Controller::emitCommEvent(bool bFault)
{
    CEvent e;
    e.nPanelID = quint8(m_nControllerID);
    e.nPanelType = m_nControllerType;
    const int commCode = m_pModel ? m_pModel->commEventCode : 0;
    e.nEventCode = commCode != 0 ? commCode : (bFault ? 101 : 100);
    e.nEventProperty = bFault ? 1 : 0;
    e.strTime = nowText();
    emitEvent(e);
}

bool Controller::addCommand(const CEvent &e)
{
    if (!m_bOpen.load() || m_nCommState.load() != 1)
        return false;
    const int code = e.nEventCode;
    QMutexLocker lock(&m_lock);
    if (code == CmdReset) {
        m_listCommand.clear();
        m_listCommand.append(e);
    } else if (code == CmdSilence || (code >= CmdStart && code <= CmdEnable)
               || (code >= CmdSyncTime && code <= CmdReadValue)) {
        if (m_listCommand.size() >= kMaxCommands) {
            if (!m_bQueueFullLogged) {
                m_bQueueFullLogged = true;
                qWarning() << "Controller" << m_nControllerID << ": command queue full at"
                           << kMaxCommands << ", dropping commands such as" << Qt::hex << code;
            }
            return false;
        }
        m_bQueueFullLogged = false;
        m_listCommand.append(e);
    }
    return true;
}

int Controller::commandCount() const
{
    QMutexLocker lock(&m_lock);
    return m_listCommand.size();
}

void Controller::processPendingCommand()
{
    CEvent cmd;
    {
        QMutexLocker lock(&m_lock);
        if (m_listCommand.isEmpty())
            return;
        cmd = m_listCommand.takeFirst();
    }
    m_nCommandPanelID = cmd.nPanelID;
    for (int attempt = 0; attempt < 3 && !m_bStopRequested.load(); ++attempt) {
        Result r = NotDone;
        switch (cmd.nEventCode) {
        case CmdSilence: r = sendControl89(); break;
        case CmdReset: r = sendControl94(); break;
        case CmdSyncTime: r = syncTime(); break;
        case CmdControl97: r = sendControl97(); break;
        case CmdStart: case CmdStop: case CmdDisable: case CmdEnable:
            r = setDeviceState(cmd.nEventCode & 0xFF, cmd.strCode, cmd.strEndCode);
            break;
        case CmdReadValueSwitch:
            r = readValueSwitch(cmd.nPanelID, cmd.nLoop, cmd.nChannel, cmd.nDevType);
            break;
        case CmdReadValue:
            r = readValue(quint8(cmd.nLoop & 0xFF), quint8(cmd.nChannel & 0xFF), quint8(cmd.nDevType & 0xFF));
            break;
        default:
            break;
        }
        if (r == Refused)
            m_nCommandsRefused.fetch_add(1, std::memory_order_relaxed);
        if (r == Done || r == Refused)
            break;
    }
}

void Controller::emitEvent(const CEvent &e)
{
    emit sendEvent(e);
}

CEvent Controller::makeEvent() const
{
    CEvent e;
    e.nCom = comNumber();
    e.nPanelID = quint8(m_nControllerID);
    e.nPanelType = m_nControllerType;
    e.strTime = nowText();
    return e;
}

quint8 Controller::comNumber() const
{
    return quint8(m_strPortName.mid(3).toInt());
}
