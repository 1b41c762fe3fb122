#include "panels/models/controllercedar.h"

#include "panels/models/birchframes.h"

#include <QDebug>

using namespace CedarFrames;

namespace {
const int kReplyTicks = 50;     // echo, report header and body, command replies
const int kAfterResetMs = 150;  // the panel restarts after a reset command
const int kAfterPanelResetMs = 200;
}

const PanelModel &ControllerCedar::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerCedar");
        m.typeCodes = {50, 150, 190, 200};
        m.link = PanelModel::Serial;
        m.baudRate = 2400;
        m.parity = QSerialPort::MarkParity;
        m.commEventCode = 0;   // 101 lost, 100 restored
        m.pacing = PanelModel::BytePaced;
        m.simulator = QStringLiteral("cedar");
        m.create = &createPanelDriver<ControllerCedar>;
        return m;
    }();
    return m;
}

ControllerCedar::ControllerCedar(const QString &strLink, int nControllerID, int nControllerType)
    : ControllerCedar(strLink, nControllerID, nControllerType, &model(), [nControllerType] {
          Traits v;
          v.timeWithSeconds = nControllerType == 200;
          return v;
      }())
{
}

ControllerCedar::ControllerCedar(const QString &strLink, int nControllerID, int nControllerType,
                                 const PanelModel *model, const Traits &traits)
    : Controller(strLink, nControllerID, nControllerType, model), m_traits(traits),
      m_nRecordReplyTicks(traits.recordReplyTicks)
{
    m_bRecordQuery = false;
    m_nRecordCount = 1;
    m_clock = [] { return QDateTime::currentDateTime(); };
    m_strWho = QStringLiteral("%1 %2:").arg(Controller::model()->name).arg(m_nControllerID);
}

ControllerCedar::~ControllerCedar()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}

bool ControllerCedar::openController()
{
    return openSerialPort(Controller::model()->baudRate, Controller::model()->parity);
}

bool ControllerCedar::closeController()
{
    closePort();
    return true;
}

QString ControllerCedar::controllerTypeName()
{
    return Controller::model()->name;
}

CEvent ControllerCedar::cedarEvent() const
{
    CEvent e = makeEvent();
    if (m_traits.eventPanelType)
        e.nPanelType = m_traits.eventPanelType;
    return e;
}

void ControllerCedar::emitCode(int code, const Report *r)
{
    if (code <= 0)
        return;
    CEvent e = cedarEvent();
    e.nEventCode = code;
    if (r) {
        e.strCode = r->strCode;
        e.nDevType = r->devType;
        e.nValue = r->value;
    }
    emitEvent(e);
}

bool ControllerCedar::shakeHand(quint8 command, bool dataPhase)
{
    const quint8 id = quint8(m_nControllerID);
    setParity(QSerialPort::MarkParity);
    if (!writePortData(handshakeFrame(id, command)))
        return false;
    QByteArray echo;
    if (!readPortData(echo, 1, kReplyTicks)) {
        if (!stopRequested())
            qDebug() << "ShakeHand fail" << "panel" << id << "command" << Qt::showbase << Qt::hex << command;
        return false;
    }
    if (quint8(echo.at(0)) != id) {
        qDebug() << "ShakeHand fail" << "panel" << id << "echoed" << Qt::showbase << Qt::hex << quint8(echo.at(0));
        return false;
    }
    if (!dataPhase)
        return true;
    // The line stays at space parity until the next address phase.
    setParity(QSerialPort::SpaceParity);
    return writePortData(QByteArray(1, char(DataPhase)));
}

bool ControllerCedar::acknowledge(quint8 byte)
{
    return writePortData(QByteArray(1, char(byte)));
}

void ControllerCedar::requestRecord()
{
    m_nRecordCount += 1;
    setParity(QSerialPort::MarkParity);
    QByteArray reply;
    if (!writePortData(recordRequest(m_nControllerID, m_nRecordCount))
        || !readPortData(reply, RecordReplySize, m_nRecordReplyTicks)) {
        // The panel says nothing past its last record: the query ends, and
        // the next one starts at record 1.
        if (!stopRequested())
            qDebug().noquote() << m_strWho << "record query ends at record" << m_nRecordCount;
        m_nRecordCount = 0;
        m_bRecordQuery = true;
        return;
    }
    const Record rec = decodeRecord(reply);
    CEvent e = cedarEvent();
    e.nEventCode = 8;
    e.strCode = rec.strCode;
    e.nDevType = rec.devType;
    emitEvent(e);
}

int ControllerCedar::pollPanel()
{
    clearRecvBuffer();
    if (!m_bRecordQuery)
        requestRecord();
    if (!shakeHand(CommandPoll, true))
        return 101;
    QByteArray frame;
    if (!readPortData(frame, 2, kReplyTicks)) {
        if (!stopRequested())
            qDebug().noquote() << m_strWho << "no report header after the handshake";
        return 101;
    }
    const Header header = headerOf(quint8(frame.at(0)), quint8(frame.at(1)), m_traits.frames);
    const int more = bytesAfterHeader(header, m_traits.frames);
    QByteArray rest;
    if (more > 0 && !readPortData(rest, more, kReplyTicks)) {
        if (!stopRequested())
            qDebug().noquote() << m_strWho << "report cut short after" << QString::fromLatin1(frame.toHex(' '));
        return 101;
    }
    frame += rest;
    const Report r = decodeReport(frame, m_traits.frames, m_nControllerType);
    if (r.status == Report::Invalid) {
        qDebug().noquote() << m_strWho << "report" << QString::fromLatin1(frame.toHex(' ')) << "rejected," << r.error;
        acknowledge(SendAgain);
        return 101;
    }
    if (r.header == HeaderUnknown) {
        // The panel answered, so the line is alive; what it said is not ours to read.
        qDebug().noquote() << m_strWho << "report header" << QString::fromLatin1(frame.toHex(' '))
                           << "not known, ignored";
    }
    return handleReport(r);
}

int ControllerCedar::handleReport(const Report &r)
{
    switch (r.header) {
    case HeaderIdle:
        return acknowledge(Accepted) ? 100 : 101;
    case HeaderReset:
        m_bRecordQuery = false;
        acknowledge(Accepted);
        emitCode(121);
        delayMs(kAfterPanelResetMs);
        return 100;
    case HeaderSilenced:
        emitCode(122);
        acknowledge(Accepted);
        return 100;
    case HeaderStatus:
        acknowledge(Accepted);
        for (int code : cedarStatusCodes(r.state))
            emitCode(code);
        return 100;
    case HeaderAnalog:
        acknowledge(Accepted);
        emitCode(r.eventCode, &r);
        return 100;
    case HeaderCleared:
        acknowledge(Accepted);
        emitCode(cedarClearedCode(r.state, r.strCode, r.devType, m_nControllerType), &r);
        return 100;
    case HeaderRaised:
        acknowledge(Accepted);
        emitCode(cedarRaisedCode(r.state, r.strCode), &r);
        return 100;
    case HeaderUnknown:
        break;
    }
    return 100;
}

int ControllerCedar::sendControl89()
{
    return shakeHand(CommandSilence, false) ? 100 : 101;
}

int ControllerCedar::sendControl94()
{
    if (!shakeHand(CommandReset, false))
        return 101;
    m_bRecordQuery = false;
    delayMs(kAfterResetMs);
    return 100;
}

int ControllerCedar::syncTime()
{
    if (!shakeHand(CommandSetTime, true))
        return 101;
    if (m_traits.blockPauseMs > 0)
        pauseMs(m_traits.blockPauseMs);
    if (!writePortData(setTimeBlock(m_clock(), m_traits.timeWithSeconds)))
        return 101;
    QByteArray reply;
    if (!readPortData(reply, 3, kReplyTicks))
        return 101;
    return setTimeReplyOk(reply) ? 100 : 101;
}

QByteArray ControllerCedar::deviceAddress(const QString &strCode) const
{
    // Characters 0..7, each pair of digits packed as two nibbles.
    return BirchFrames::isDeviceDigits(strCode, 8) ? BirchFrames::ashDeviceAddress(strCode) : QByteArray();
}

int ControllerCedar::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    const QByteArray address = deviceAddress(strCode);
    if (address.isEmpty()) {
        qWarning().noquote() << m_strWho << "device command" << QString::number(type, 16) << "for" << strCode
                             << "not sent: the code is not the decimal device address the panel needs";
        return CommandRefused;
    }
    if (!shakeHand(CommandDeviceState, true))
        return 101;
    if (m_traits.blockPauseMs > 0)
        pauseMs(m_traits.blockPauseMs);
    if (!writePortData(deviceStateBlock(deviceAction(type), address)))
        return 4;
    QByteArray reply;
    if (!readPortData(reply, 3, kReplyTicks))
        return 6;
    return deviceStateReplyOk(reply) ? 100 : 5;
}

int ControllerCedar::readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType)
{
    setParity(QSerialPort::MarkParity);
    if (!writePortData(readValueRequest(m_nControllerID, nDevType, nLoop, nChannel)))
        return 5;
    QByteArray reply;
    const bool answered = readPortData(reply, ReadValueReplySize, m_nReadValueTicks);
    if (stopRequested())
        return 101;
    if (!answered)
        qDebug().noquote() << m_strWho << "no value for loop" << nLoop << "channel" << nChannel;
    // The client waits for an answer: without a reply it gets the value 0.
    CEvent e = cedarEvent();
    e.nEventCode = nDevType == 0 ? 6000 : 7000;
    e.nLoop = nLoop;
    e.nAddress = nChannel;
    e.nChannel = nChannel;
    e.nValue = answered ? readValueOf(reply) : 0;
    emitEvent(e);
    return 100;
}
