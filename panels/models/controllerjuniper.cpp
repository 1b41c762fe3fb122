#include "panels/models/controllerjuniper.h"

#include "config/configtables.h"
#include "panels/models/elmframes.h"

#include <QDebug>
#include <QTimer>

using namespace ElmFrames;

namespace {
// A record at 115200 baud takes a few milliseconds; bytes that have waited
// this long without completing a record will not be completed.
const int kQuietMs = 300;
// Noise on the line is reported at most this often.
const int kDropLogMs = 1000;
}

const PanelModel &ControllerJuniper::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerJuniper");
        m.typeCodes = {250};
        m.link = PanelModel::Serial;
        m.baudRate = 115200;
        m.parity = QSerialPort::NoParity;
        // The loop never reports on this model (it is not polled); were it
        // to, the empty type name selects 101/100.
        m.commEventCode = 0;
        m.listening = true;
        m.remoteLamp = true;
        m.simulator = QStringLiteral("juniper");
        m.frontsNetwork = true;
        m.create = &createPanelDriver<ControllerJuniper>;
        return m;
    }();
    return m;
}

ControllerJuniper::ControllerJuniper(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model())
{
}

ControllerJuniper::~ControllerJuniper()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}

bool ControllerJuniper::openController()
{
    if (!openSerialPort(model().baudRate, model().parity))
        return false;
    // Unknown until the panel is heard: no "normal" notice and no commands before.
    setCommState(-1);
    m_stream.clear();
    m_bHandling = false;
    m_bDtrFailLogged = false;
    startWatchdog();
    return true;
}


bool ControllerJuniper::writeFrame(const QByteArray &frame)
{
    // Not writePortData: clearing the input before the write would throw
    // away a record the panel may already be sending.
    if (m_pLink && m_pLink->isOpen() && m_pLink->write(frame))
        return true;
    qDebug() << "ControllerJuniper" << m_nControllerID << ": write to" << m_strPortName << "failed:"
             << (m_pLink ? m_pLink->errorText() : QStringLiteral("no link"));
    return false;
}

Controller::Result ControllerJuniper::sendControl89()
{
    // Never 100, so the base's three attempts send the frame three times.
    return writeFrame(juniperSilenceFrame()) ? NotDone : WriteFailed;
}

Controller::Result ControllerJuniper::sendControl94()
{
    return NotDone; // the panel has no remote reset
}

Controller::Result ControllerJuniper::syncTime()
{
    m_bTimeSyncPending.store(true);
    return NotDone;
}

void ControllerJuniper::handleRecvData()
{
    m_stream += takeRecvBuffer();
    m_quietAfter.setRemainingTime(kQuietMs);
    processStream(false);
}

Controller::Result ControllerJuniper::pollPanel()
{
    if (!m_stream.isEmpty() && m_quietAfter.hasExpired())
        processStream(true);
    return Done;
}

void ControllerJuniper::processStream(bool atEnd)
{
    // Writing an answer can deliver more bytes (the port reports them while
    // draining): they join m_stream and this loop takes them in order.
    if (m_bHandling)
        return;
    m_bHandling = true;
    for (;;) {
        const Scan scan = scanRecord(m_stream, atEnd);
        atEnd = false; // only the bytes that went quiet; what arrives meanwhile is new
        if (scan.status == Scan::Incomplete)
            break;
        const QByteArray bytes = m_stream.left(scan.consumed);
        m_stream.remove(0, scan.consumed);
        noteFrame(scan.status == Scan::Complete);
        if (scan.status == Scan::Invalid)
            dropNoise(bytes);
        else
            handleRecord(bytes);
        if (m_stream.isEmpty())
            break;
    }
    m_bHandling = false;
}

void ControllerJuniper::dropNoise(const QByteArray &bytes)
{
    // Not answered: a panel that sent a damaged record sends it again.
    m_nDropped += bytes.size();
    if (!m_dropLogDue.hasExpired())
        return;
    qWarning().noquote() << QStringLiteral("ControllerJuniper %1 on %2: %3 bytes that form no record dropped, last: %4")
                                .arg(m_nControllerID).arg(m_strPortName).arg(m_nDropped)
                                .arg(QString::fromLatin1(bytes.left(64).toHex(' ')));
    m_nDropped = 0;
    m_dropLogDue.setRemainingTime(kDropLogMs);
}

void ControllerJuniper::handleRecord(const QByteArray &record)
{
    const quint8 kind = reportKind(record);
    const ConfigTables &tables = ConfigTables::instance();
    if (tables.contains(kind)) {
        CEvent e = decodeJuniperRecord(record.left(record.size() - 2), now());
        const EventEntry entry = tables.entry(kind);
        e.nEventType = entry.eventClass;
        e.nEventCode = entry.code;
        e.nEventProperty = entry.property;
        e.nPanelType = m_nControllerType;
        e.nCom = comNumber();
        emitEvent(e);
    } else {
        qDebug() << "ControllerJuniper" << m_nControllerID << ": kind" << kind << "is not in the event table; answered only";
    }
    sendAnswer();
}

void ControllerJuniper::sendAnswer()
{
    const bool setTime = m_bTimeSyncPending.exchange(false);
    const QByteArray answer = juniperAnswer(now(), setTime);
    writeFrame(answer);
    qDebug().noquote() << QStringLiteral("ControllerJuniper %1 answer: %2")
                              .arg(m_nControllerID).arg(QString::fromLatin1(answer.toHex(' ')));
}

void ControllerJuniper::setRemoteLight(uchar nStatus)
{
    if (!m_pLink)
        return; // never opened: no port, no lamp
    // Runs where the port lives: directly while the worker is stopped,
    // queued into the worker while it runs.
    const int mode = nStatus;
    QMetaObject::invokeMethod(m_pLink, [this, mode] { applyLamp(mode); }, Qt::AutoConnection);
}

void ControllerJuniper::applyLamp(int mode)
{
    if (!m_pLink || !m_pLink->isOpen())
        return;
    if (mode == 0 || mode == 1) {
        m_nLampMode = mode;
        setDtr(mode == 1);
        return;
    }
    if (mode != 2) {
        qWarning() << "ControllerJuniper" << m_nControllerID << ": remote lamp status" << mode << "ignored";
        return;
    }
    m_nLampMode = 2;
    m_nLampDeadlineMs = QDeadlineTimer::current().deadline() + m_nLampHoldMs;
    if (!m_pLampTimer) {
        m_pLampTimer = new QTimer(m_pLink);
        connect(m_pLampTimer, &QTimer::timeout, m_pLink, [this] { lampTick(); });
    }
    if (!m_pLampTimer->isActive()) {
        m_pLampTimer->start(m_nLampIntervalMs);
        m_bLampTimerActive.store(true);
    }
}

void ControllerJuniper::workerEnding()
{
    // Without a worker the port is closed and the lamp dark. A timer still
    // running when the link moves back would be handed over by Qt through
    // a queued call that is lost, with what it allocated, when the driver
    // is deleted before the main thread's loop runs again.
    if (m_pLampTimer)
        m_pLampTimer->stop();
    m_bLampTimerActive.store(false);
}

void ControllerJuniper::lampTick()
{
    const bool open = m_pLink && m_pLink->isOpen();
    if (m_nLampMode == 2 && open) {
        m_bLampLevel = !m_bLampLevel;
        setDtr(m_bLampLevel);
        return;
    }
    // Out of blinking: hold the steady level a while, then stop ticking.
    if (!open || QDeadlineTimer::current().deadline() > m_nLampDeadlineMs + m_nLampHoldMs) {
        m_pLampTimer->stop();
        m_bLampTimerActive.store(false);
        return;
    }
    setDtr(m_nLampMode == 1);
}

void ControllerJuniper::setDtr(bool on)
{
    m_bLampLevel = on;
    if (m_pLink->setDataTerminalReady(on) || m_bDtrFailLogged)
        return;
    // A port without modem lines (a pseudo-terminal, some adapters) fails
    // every time: say so once, not twice a second.
    m_bDtrFailLogged = true;
    qWarning().noquote() << QStringLiteral("ControllerJuniper %1: DTR of %2 cannot be set (%3); the remote lamp is not shown")
                                .arg(m_nControllerID).arg(m_strPortName, m_pLink->errorText());
}
