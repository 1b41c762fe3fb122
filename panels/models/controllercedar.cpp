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
    m_strWho = QStringLiteral("%1 %2:").arg(Controller::model()->name).arg(m_nControllerID);
}

ControllerCedar::~ControllerCedar()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
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

Controller::Result ControllerCedar::pollPanel()
{
    clearRecvBuffer();
    if (!m_bRecordQuery)
        requestRecord();
    if (!shakeHand(CommandPoll, true))
        return NoAnswer;
    QByteArray frame;
    if (!readPortData(frame, 2, kReplyTicks)) {
        if (!stopRequested())
            qDebug().noquote() << m_strWho << "no report header after the handshake";
        return NoAnswer;
    }
    const Header header = headerOf(quint8(frame.at(0)), quint8(frame.at(1)), m_traits.frames);
    const int more = bytesAfterHeader(header, m_traits.frames);
    QByteArray rest;
    if (more > 0 && !readPortData(rest, more, kReplyTicks)) {
        if (!stopRequested())
            qDebug().noquote() << m_strWho << "report cut short after" << QString::fromLatin1(frame.toHex(' '));
        return NoAnswer;
    }
    frame += rest;
    const Report r = decodeReport(frame, m_traits.frames, m_nControllerType);
    if (r.status == Report::Invalid) {
        qDebug().noquote() << m_strWho << "report" << QString::fromLatin1(frame.toHex(' ')) << "rejected," << r.error;
        acknowledge(SendAgain);
        return NoAnswer;
    }
    if (r.header == HeaderUnknown) {
        // The panel answered, so the line is alive; what it said is not ours to read.
        qDebug().noquote() << m_strWho << "report header" << QString::fromLatin1(frame.toHex(' '))
                           << "not known, ignored";
    }
    return handleReport(r);
}

Controller::Result ControllerCedar::handleReport(const Report &r)
{
    switch (r.header) {
    case HeaderIdle:
        return acknowledge(Accepted) ? Done : NoAnswer;
    case HeaderReset:
        m_bRecordQuery = false;
        acknowledge(Accepted);
        emitCode(121);
        delayMs(kAfterPanelResetMs);
        return Done;
    case HeaderSilenced:
        emitCode(122);
        acknowledge(Accepted);
        return Done;
    case HeaderStatus:
        acknowledge(Accepted);
        for (int code : cedarStatusCodes(r.state))
            emitCode(code);
        return Done;
    case HeaderAnalog:
        acknowledge(Accepted);
        emitCode(r.eventCode, &r);
        return Done;
    case HeaderCleared:
        acknowledge(Accepted);
        emitCode(cedarClearedCode(r.state, r.strCode, r.devType, m_nControllerType), &r);
        return Done;
    case HeaderRaised:
        acknowledge(Accepted);
        emitCode(cedarRaisedCode(r.state, r.strCode), &r);
        return Done;
    case HeaderUnknown:
        break;
    }
    return Done;
}

Controller::Result ControllerCedar::sendControl89()
{
    return shakeHand(CommandSilence, false) ? Done : NoAnswer;
}

Controller::Result ControllerCedar::sendControl94()
{
    if (!shakeHand(CommandReset, false))
        return NoAnswer;
    m_bRecordQuery = false;
    delayMs(kAfterResetMs);
    return Done;
}

Controller::Result ControllerCedar::syncTime()
{
    if (!shakeHand(CommandSetTime, true))
        return NoAnswer;
    if (m_traits.blockPauseMs > 0)
        pauseMs(m_traits.blockPauseMs);
    if (!writePortData(setTimeBlock(now(), m_traits.timeWithSeconds)))
        return NoAnswer;
    QByteArray reply;
    if (!readPortData(reply, 3, kReplyTicks))
        return NoAnswer;
    return setTimeReplyOk(reply) ? Done : NoAnswer;
}

QByteArray ControllerCedar::deviceAddress(const QString &strCode) const
{
    // Characters 0..7, each pair of digits packed as two nibbles.
    return BirchFrames::isDeviceDigits(strCode, 8) ? BirchFrames::ashDeviceAddress(strCode) : QByteArray();
}

Controller::Result ControllerCedar::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    const QByteArray address = deviceAddress(strCode);
    if (address.isEmpty()) {
        qWarning().noquote() << m_strWho << "device command" << QString::number(type, 16) << "for" << strCode
                             << "not sent: the code is not the decimal device address the panel needs";
        return Refused;
    }
    if (!shakeHand(CommandDeviceState, true))
        return NoAnswer;
    if (m_traits.blockPauseMs > 0)
        pauseMs(m_traits.blockPauseMs);
    if (!writePortData(deviceStateBlock(deviceAction(type), address)))
        return WriteFailed;
    QByteArray reply;
    if (!readPortData(reply, 3, kReplyTicks))
        return NoReply;
    return deviceStateReplyOk(reply) ? Done : WrongReply;
}

Controller::Result ControllerCedar::readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType)
{
    setParity(QSerialPort::MarkParity);
    if (!writePortData(readValueRequest(m_nControllerID, nDevType, nLoop, nChannel)))
        return WrongReply;
    QByteArray reply;
    const bool answered = readPortData(reply, ReadValueReplySize, m_nReadValueTicks);
    if (stopRequested())
        return NoAnswer;
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
    return Done;
}
