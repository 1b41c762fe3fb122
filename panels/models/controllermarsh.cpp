#include "panels/models/controllermarsh.h"

#include "config/configtables.h"

#include <QDateTime>
#include <QDebug>
#include <QDeadlineTimer>
#include <QTimerEvent>

namespace {
const qint64 kFirstReportMs = 30000;
const qint64 kRebuildMs = 60000;
const int kTickMs = 200;
// Reports waiting for the timer; a panel flooding past this loses the newest.
const int kMaxQueued = 4096;

// Report code -> event-table key; 0: the report makes no event.
int reportKey(quint8 code)
{
    switch (code) {
    case 0x02: return 2;
    case 0x03: return 4;
    case 0x04: return 38;
    case 0x05: return 5;
    case 0x06: return 35;
    case 0x07: return 6;
    case 0x08: return 7;
    case 0x0C: return 8;
    case 0x0D: return 9;
    case 0x11: return 8;
    case 0x12: return 9;
    case 0x15: return 10;
    case 0x16: return 11;
    case 0x17: return 12;
    case 0x18: return 13;
    case 0x19: case 0x1A: case 0x1D: return 6;
    case 0x1B: case 0x1C: case 0x1E: return 7;
    case 0x24: case 0x89: return 37;
    case 0x8A: return 41;
    default: return 0;
    }
}

QString panelAddressOf(const QString &link)
{
    return link.mid(link.indexOf(QLatin1Char('/')) + 1).section(QLatin1Char(':'), 0, 0).trimmed();
}

// A device number of a client's code: decimal digits, one byte.
bool deviceNumber(const QString &digits, quint8 *out)
{
    bool ok = false;
    const uint n = digits.toUInt(&ok);
    if (!ok || n > 255)
        return false;
    *out = quint8(n);
    return true;
}

QString deviceCode(const QString &six, quint8 three, quint8 two)
{
    return QStringLiteral("%1%2%3").arg(six.toUInt(), 6, 10, QLatin1Char('0'))
        .arg(three, 3, 10, QLatin1Char('0')).arg(two, 2, 10, QLatin1Char('0'));
}
}

const PanelModel &ControllerMarsh::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerMarsh");
        m.typeCodes = {241};
        m.link = PanelModel::Library;
        m.commEventCode = 0;
        m.simulator = QStringLiteral("marsh");
        m.create = &createPanelDriver<ControllerMarsh>;
        return m;
    }();
    return m;
}

ControllerMarsh::ControllerMarsh(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model()),
      m_strPanelAddress(panelAddressOf(strLink))
{
    m_idleClock = [] { return QDeadlineTimer::current().deadline(); };
}

ControllerMarsh::~ControllerMarsh()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
    dropLibrary();
}

void ControllerMarsh::setLibraryPorts(quint16 localPort, quint16 panelPort)
{
    m_nLocalPort = localPort;
    m_nPanelPort = panelPort;
}


void ControllerMarsh::buildLibrary()
{
    m_pAts = new Ats2Panel(this);
    connect(m_pAts, &Ats2Panel::recvDataEvent, this, &ControllerMarsh::recvDataEvent);
    connect(m_pAts, &Ats2Panel::recvRowData, this, &ControllerMarsh::on_recvRowData);
    if (!m_pAts->setPanelId(quint8(m_nControllerID), QString(), m_strPanelAddress, m_nLocalPort, m_nPanelPort))
        qWarning().noquote() << QStringLiteral("setPanelId failed %1 %2").arg(m_nControllerID).arg(m_strPanelAddress);
}

void ControllerMarsh::dropLibrary()
{
    QMutexLocker lock(&m_atsLock);
    delete m_pAts;
    m_pAts = nullptr;
}

bool ControllerMarsh::openController()
{
    if (isRunning())
        closePort(); // opened again while running: the worker starts afresh
    {
        QMutexLocker lock(&m_atsLock);
        if (!m_pAts)
            buildLibrary();
    }
    setCommState(1);
    markLinkOpen();
    m_bAwaitingFirst = true;
    m_bLinkUsable = true;
    m_nLastActivityMs = m_idleClock();
    if (m_nTimerId == 0)
        m_nTimerId = startTimer(kTickMs);
    SPanel2ATSData hello;
    hello.nCode = 0x97;
    sendRecord(hello);
    return true;
}

bool ControllerMarsh::closeController()
{
    closePort();
    if (m_nTimerId != 0)
        killTimer(m_nTimerId);
    m_nTimerId = 0;
    // What the panel reported before the close still goes out; after it the
    // library is gone, so no stray report opens the driver again.
    emitQueued();
    dropLibrary();
    m_bAwaitingFirst = m_bLinkUsable = m_bFaultStands = false;
    return true;
}

Controller::Result ControllerMarsh::sendRecord(SPanel2ATSData data)
{
    QMutexLocker lock(&m_atsLock);
    if (!m_pAts)
        return NoAnswer;
    data.strText1 = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"))
        + QStringLiteral("%1").arg(m_nRecordCounter % 10000, 4, 10, QLatin1Char('0'));
    ++m_nRecordCounter;
    return m_pAts->sendEventData(data) ? Done : NoAnswer;
}

Controller::Result ControllerMarsh::sendControl89()
{
    SPanel2ATSData d;
    d.nCode = 0x89;
    return sendRecord(d);
}

Controller::Result ControllerMarsh::syncTime()
{
    SPanel2ATSData d;
    d.nCode = 0x95;
    return sendRecord(d);
}

Controller::Result ControllerMarsh::sendControl97()
{
    SPanel2ATSData d;
    d.nCode = 0x8A;
    return sendRecord(d);
}

Controller::Result ControllerMarsh::sendControl94()
{
    SPanel2ATSData d;
    d.nCode = 0x94;
    const Result r = sendRecord(d);
    if (r == Done) {
        CEvent e = marshEvent();
        e.nEventCode = 12;
        e.strCode = e.strEndCode = QStringLiteral("00000000000");
        emitEvent(e);
    }
    return r;
}

Controller::Result ControllerMarsh::setDeviceState(int type, QString strCode, QString strEndCode)
{
    qDebug().noquote() << QStringLiteral("setDeviceState type:%1 strCode:%2 strEndCode:%3")
                              .arg(type).arg(strCode, strEndCode);
    const QString &end = strEndCode.size() < 9 ? strCode : strEndCode;
    SPanel2ATSData d;
    quint8 startNumber = 0;
    quint8 endNumber = 0;
    // A number that does not fit its byte would address another device.
    if (!deviceNumber(strCode.mid(6, 3), &startNumber) || !deviceNumber(strCode.right(2), &d.nByte1)
        || !deviceNumber(end.mid(6, 3), &endNumber)) {
        qWarning() << "setDeviceState: device code" << strCode << "/" << end
                   << "has no numbers 0..255 in characters 7..9 and its last two; nothing sent";
        return Refused;
    }
    d.nCode = quint8(type);
    d.strText2 = strCode.left(6);
    d.setByte7(startNumber);
    d.strText3 = end.left(6);
    d.setByte8(endNumber);
    const Result r = sendRecord(d);
    if (r == Done && (type == 0x92 || type == 0x93)) {
        CEvent e = marshEvent();
        e.nEventCode = type == 0x92 ? 8 : 9;
        e.strCode = strCode;
        e.strEndCode = strEndCode;
        emitEvent(e);
    }
    return r;
}

CEvent ControllerMarsh::marshEvent() const
{
    CEvent e;
    e.nPanelID = quint8(m_nControllerID);
    e.nPanelType = m_nControllerType;
    e.strTime = nowText();
    return e;
}

CEvent ControllerMarsh::commEvent(bool bFault) const
{
    CEvent e = marshEvent();
    e.nEventCode = 17;
    e.nEventProperty = bFault ? 1 : 0;
    if (!bFault)
        e.strNote = model().name;
    return e;
}

void ControllerMarsh::queueEvent(const CEvent &e)
{
    if (m_queue.size() >= kMaxQueued) {
        if (!m_bQueueFullLogged)
            qWarning() << "ControllerMarsh" << m_nControllerID << ":" << kMaxQueued
                       << "reports waiting, dropping new ones such as code" << e.nEventCode;
        m_bQueueFullLogged = true;
        return;
    }
    m_bQueueFullLogged = false;
    m_queue.append(e);
}

void ControllerMarsh::recvDataEvent(const SPanel2ATSData &data)
{
    m_nLastActivityMs = m_idleClock();
    const bool lost = data.nCode == Ats2Wire::LinkLostCode;
    // The first report after an open or a rebuild says the link works; so
    // does any report after a communication fault, or the fault would stand
    // while the panel reports.
    if (m_bAwaitingFirst || (m_bFaultStands && !lost)) {
        m_bAwaitingFirst = false;
        m_bFaultStands = false;
        queueEvent(commEvent(false));
    }
    if (lost) {
        queueEvent(commEvent(true));
        m_bFaultStands = true;
        m_bLinkUsable = false;
        return;
    }
    setCommState(1);
    markLinkOpen();
    m_bLinkUsable = true;
    const int key = reportKey(data.nCode);
    if (key == 0)
        return;
    const EventEntry entry = ConfigTables::instance().entry(key);
    CEvent e = marshEvent();
    e.nEventType = entry.eventClass;
    e.nEventCode = key;
    e.nEventProperty = entry.property;
    e.strNote = entry.name;
    e.strCode = deviceCode(data.strText3, data.byte8(), data.nByte1);
    e.strEndCode = deviceCode(data.strText2, data.byte7(), data.nByte1);
    queueEvent(e);
}

void ControllerMarsh::on_recvRowData(const SATSPacket *packet)
{
    // Raw packets (keep-alives, acknowledgements) are the library's business;
    // the reports they carry arrive through recvDataEvent.
    Q_UNUSED(packet);
}

void ControllerMarsh::emitQueued()
{
    QList<CEvent> out;
    out.swap(m_queue);
    for (const CEvent &e : qAsConst(out))
        emitEvent(e);
}

void ControllerMarsh::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_nTimerId) {
        Controller::timerEvent(event);
        return;
    }
    emitQueued();
    const qint64 idle = m_idleClock() - m_nLastActivityMs;
    if (m_bAwaitingFirst && idle > kFirstReportMs) {
        m_bAwaitingFirst = false;
        m_bLinkUsable = false;
        m_bFaultStands = true;
        qWarning() << "ControllerMarsh" << m_nControllerID << ": no report from" << m_strPanelAddress
                   << "within" << kFirstReportMs / 1000 << "s";
        emitEvent(commEvent(true));
    } else if (!m_bLinkUsable && idle > kRebuildMs) {
        m_nLastActivityMs = m_idleClock();
        qWarning() << "ControllerMarsh" << m_nControllerID << ": rebuilding the link to" << m_strPanelAddress;
        {
            QMutexLocker lock(&m_atsLock);
            delete m_pAts;
            buildLibrary();
        }
        m_bAwaitingFirst = true;
    }
}
