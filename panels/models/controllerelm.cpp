#include "panels/models/controllerelm.h"

#include "config/configtables.h"
#include "core/servercontext.h"
#include "panels/models/elmframes.h"
#include "panels/udplink.h"

#include <QDebug>
#include <QNetworkInterface>

using namespace ElmFrames;

namespace {
// Datagrams that arrive while one waits for its acknowledgement; a panel
// waits for each acknowledgement, so more than this is a flood. What is
// dropped is not acknowledged, and the panel sends it again.
const int kMaxPending = 256;
// Reports from this number come from the panel network itself.
const quint8 kNetworkNumber = 251;

QHostAddress panelAddressOf(const QString &strLink)
{
    const int slash = strLink.indexOf(QLatin1Char('/'));
    const QString rest = strLink.mid(slash + 1);
    return QHostAddress(rest.section(QLatin1Char(':'), 0, 0).trimmed());
}

QList<QNetworkAddressEntry> allAddressEntries()
{
    QList<QNetworkAddressEntry> entries;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces)
        entries += i.addressEntries();
    return entries;
}

// A device code of the panel: decimal pairs, at least the four of the address.
bool isDecimalCode(const QString &code)
{
    if (code.size() < 8)
        return false;
    for (const QChar c : code) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}
} // namespace

const PanelModel &ControllerElm::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerElm");
        m.typeCodes = {240};
        m.link = PanelModel::Udp;
        // The loop never reports on this model (it is not polled); were it
        // to, the empty type name selects 101/100.
        m.commEventCode = 0;
        m.listening = true;
        m.simulator = QStringLiteral("elm");
        m.frontsNetwork = true;
        m.create = &createPanelDriver<ControllerElm>;
        return m;
    }();
    return m;
}

ControllerElm::ControllerElm(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model()), m_pUdp(new UdpLink),
      m_nPanelNumber(nControllerID)
{
    m_pUdp->setExclusive(true);
    setLink(m_pUdp);
    m_panelAddress = panelAddressOf(strLink);
    m_remoteAddress = m_panelAddress;
}

ControllerElm::~ControllerElm()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}

void ControllerElm::setPorts(quint16 localPort, quint16 panelPort)
{
    m_nLocalPort = localPort;
    m_nPanelPort = panelPort;
}

bool ControllerElm::openController()
{
    if (isRunning())
        closePort(); // opened again while running: the worker must hand the socket back first
    if (m_panelAddress.protocol() != QAbstractSocket::IPv4Protocol) {
        qWarning() << "ControllerElm" << m_nControllerID << ": link" << m_strPortName
                   << "holds no panel IPv4 address; not opened";
        return false;
    }
    m_pUdp->setLocal(QHostAddress(QHostAddress::AnyIPv4), m_nLocalPort);
    m_pUdp->setPeer(m_panelAddress, m_nPanelPort);
    if (!connectUdpLink()) {
        qWarning().noquote() << QStringLiteral("ControllerElm %1: UDP port %2 cannot be bound (%3); only one Elm "
                                               "controller per server process can listen on it; controller %1 not opened")
                                    .arg(m_nControllerID).arg(m_nLocalPort).arg(m_pUdp->errorText());
        return false;
    }
    m_nBoundPort.store(m_pUdp->localPort());
    // Unknown until the panel is heard: no "normal" notice, no commands, and
    // connect frames until then.
    setCommState(-1);
    m_pending.clear();
    m_bHandling = false;
    m_bSendFailLogged = false;

    const QHostAddress server = ServerContext::instance().serverAddress;
    m_connectFrame = connectFrame(server);
    m_connectTo = connectDestination(server, server.isLoopback() ? QList<QNetworkAddressEntry>() : allAddressEntries());
    if (m_connectTo.isNull())
        qWarning() << "ControllerElm" << m_nControllerID << ": no network interface carries the server address"
                   << server.toString() << "; no connect frames are sent, the panel must find the server itself";
    slotSendConnectToPanel();
    m_connectDue.setRemainingTime(m_nConnectIntervalMs);
    startWatchdog();
    return true;
}


Controller::Result ControllerElm::pollPanel()
{
    if (m_connectDue.hasExpired()) {
        m_connectDue.setRemainingTime(m_nConnectIntervalMs);
        slotSendConnectToPanel();
    }
    return Done;
}

void ControllerElm::slotSendConnectToPanel()
{
    if (getCommState() == 1 || m_connectTo.isNull())
        return;
    if (!m_pUdp->writeTo(m_connectFrame, m_connectTo, m_nPanelPort) && !m_bSendFailLogged) {
        m_bSendFailLogged = true;
        qWarning() << "ControllerElm" << m_nControllerID << ": connect frame to" << m_connectTo.toString()
                   << m_nPanelPort << "failed:" << m_pUdp->errorText();
    }
}

bool ControllerElm::send(const QByteArray &frame)
{
    if (m_pUdp->write(frame)) {
        m_bSendFailLogged = false;
        return true;
    }
    if (!m_bSendFailLogged) {
        m_bSendFailLogged = true;
        qWarning() << "ControllerElm" << m_nControllerID << ": send to" << m_panelAddress.toString() << m_nPanelPort
                   << "failed:" << m_pUdp->errorText();
    }
    return false;
}

void ControllerElm::handleRecvData()
{
    const QByteArray datagram = takeRecvBuffer();
    if (m_pending.size() >= kMaxPending) {
        if (!m_bPendingFullLogged) {
            m_bPendingFullLogged = true;
            qWarning() << "ControllerElm" << m_nControllerID << ": over" << kMaxPending
                       << "datagrams wait for acknowledgement; further ones are dropped unacknowledged";
        }
        return;
    }
    m_pending.append(datagram);
    // The pause before an acknowledgement lets further datagrams in: they
    // wait here and are handled in order once the current one is done.
    if (m_bHandling)
        return;
    m_bHandling = true;
    while (!m_pending.isEmpty() && !stopRequested())
        handleDatagram(m_pending.takeFirst());
    m_bHandling = false;
    m_bPendingFullLogged = false;
}

void ControllerElm::handleDatagram(const QByteArray &datagram)
{
    const bool crcGood = crcOk(datagram);
    // Counted before anything else: a panel whose every datagram fails its
    // CRC must show as a fault, not as a live link that never reports.
    noteFrame(crcGood);
    quint8 id = datagram.size() >= 8 ? quint8(datagram.at(7)) : 0;
    // Commands go to the panel last heard: a damaged datagram's number is
    // noise and would send them to some other panel.
    if (crcGood)
        m_nPanelNumber.store(id);
    const quint8 kind = reportKind(datagram);
    const ConfigTables &tables = ConfigTables::instance();
    if (kind == 0 || !tables.contains(kind) || (kind >= 14 && kind <= 17)) {
        if (kind != 0 && !tables.contains(kind))
            qDebug() << "ControllerElm" << m_nControllerID << ": kind" << kind << "is not in the event table; dropped";
        send(ackFrame(AckPlain, id));
        return;
    }
    // A damaged report is not acknowledged: the panel sends it again.
    if (!crcGood) {
        qWarning().noquote() << QStringLiteral("ControllerElm %1: report of kind %2 with a wrong CRC left unacknowledged: %3")
                                    .arg(m_nControllerID).arg(kind).arg(QString::fromLatin1(datagram.toHex(' ')));
        return;
    }
    if (id == kNetworkNumber) {
        id = 0;
        m_nPanelNumber.store(0);
    }
    const CEvent e = decodeReport(datagram, kind, id);
    if (elmClass(kind) == 0) {
        send(ackFrame(AckKindOne, id));
        emitEvent(e);
        return;
    }
    emitEvent(e);
    // Not cut short by a stop: an emitted report is always acknowledged.
    pauseMs(m_nAckDelayMs);
    send(ackFrame(AckPlain, id));
}

CEvent ControllerElm::decodeReport(const QByteArray &datagram, quint8 kind, quint8 id) const
{
    CEvent e = decodeElmReport(datagram.left(datagram.size() - 2), elmClass(kind), now());
    const EventEntry entry = ConfigTables::instance().entry(kind);
    e.nEventType = entry.eventClass;
    e.nEventCode = entry.code;
    e.nEventProperty = entry.property;
    e.nPanelType = m_nControllerType;
    e.nPanelID = id;
    return e;
}

quint8 ControllerElm::targetPanel() const
{
    // A command routed here for a panel of the network goes to that panel,
    // not to whichever panel happened to speak last.
    const quint8 named = commandPanelID();
    if (named != 0 && named != quint8(m_nControllerID))
        return named;
    return quint8(m_nPanelNumber.load());
}

Controller::Result ControllerElm::sendControl89()
{
    send(commandFrame(0x89, targetPanel()));
    return Done;
}

Controller::Result ControllerElm::sendControl94()
{
    send(commandFrame(0x94, targetPanel()));
    return Done;
}

Controller::Result ControllerElm::sendControl97()
{
    send(commandFrame(0x97, targetPanel()));
    return Done;
}

Controller::Result ControllerElm::syncTime()
{
    send(timeFrame(now(), targetPanel()));
    return Done;
}

Controller::Result ControllerElm::setDeviceState(int type, QString strCode, QString strEndCode)
{
    // A code that is not decimal pairs would address some other device.
    if (!isDecimalCode(strCode) || !(strEndCode.isEmpty() || isDecimalCode(strEndCode))) {
        qWarning() << "ControllerElm" << m_nControllerID << ": device command" << Qt::hex << type
                   << "for" << strCode << strEndCode << "not sent: the codes must be decimal digits";
        return Refused;
    }
    send(deviceStateFrame(type, strCode, strEndCode));
    return Done;
}
