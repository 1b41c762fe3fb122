#include "panels/models/controllerash.h"

#include <QDebug>

using namespace BirchFrames;

namespace {
// First reply byte: 100 ticks after a record request (which already had a
// 100 ms head start), 200 after a plain poll.
const int kRecordReplyTicks = 100;
const int kPollReplyTicks = 200;
const int kFrameTicks = 50;
const int kReplyTicks = 50;
const int kAfterRecordRequestMs = 100;
}

const PanelModel &ControllerAsh::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerAsh");
        m.typeCodes = {10, 11, 20, 30, 40, 41};
    m.link = PanelModel::Serial;
    m.baudRate = 2400;
    m.parity = QSerialPort::MarkParity;
    m.commEventCode = 0;   // 101 lost, 100 restored
    m.pacing = PanelModel::BytePaced;
        m.simulator = QStringLiteral("birch"); // the family simulator plays both
        m.create = &createPanelDriver<ControllerAsh>;
        return m;
    }();
    return m;
}

ControllerAsh::ControllerAsh(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model())
{
    m_bRecordQuery = false;
    m_nRecordCount = 1;
}

ControllerAsh::~ControllerAsh()
{
    closePort();
}




CEvent ControllerAsh::ashEvent() const
{
    CEvent e = makeEvent();
    e.nPanelType = 20;
    return e;
}

Controller::Result ControllerAsh::pollPanel()
{
    const int id = m_nControllerID;
    setParity(QSerialPort::MarkParity);
    clearRecvBuffer();
    const bool querying = !m_bRecordQuery;
    if (querying) {
        if (!writePortData(recordRequest(id, m_nRecordCount)))
            return NoAnswer;
        delayMs(kAfterRecordRequestMs);
    } else if (!writePortData(QByteArray(1, char(pollByte(id))))) {
        return NoAnswer;
    }
    QByteArray b;
    if (!readPortData(b, 1, querying ? kRecordReplyTicks : kPollReplyTicks)) {
        m_nRecordCount = 1;
        m_bRecordQuery = true;
        return NoAnswer;
    }
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id)) {
        m_bRecordQuery = true; // an idle answer ends a record query
        return Done;
    }
    if (first != quint8(0x10 + id) && first != quint8(id))
        return NoAnswer;
    if (!readPortData(b, 1, kFrameTicks))
        return NoAnswer;
    const int length = quint8(b.at(0));
    QByteArray body;
    if (length > 2 && !readPortData(body, length - 2, kFrameTicks))
        return NoAnswer;
    if (body.size() < 2)
        return NoAnswer;
    switch (byteAt(body, 1)) {
    case KindEnd:
        m_bRecordQuery = true;
        m_nRecordCount = 1;
        return Done;
    case KindStatus:
        return handleStatus(body);
    case KindReport:
        return handleReport(body);
    default:
        return NoAnswer;
    }
}

Controller::Result ControllerAsh::handleStatus(const QByteArray &body)
{
    const QList<AshFrames::StatusEvent> events = AshFrames::decodeStatus(body, m_nControllerID, m_latch);
    for (const AshFrames::StatusEvent &s : events) {
        CEvent e = ashEvent();
        e.nEventCode = s.eventCode;
        e.nEventProperty = s.property;
        e.strCode = s.strCode;
        emitEvent(e);
    }
    return writePortData(QByteArray(1, char(statusAck(m_nControllerID)))) ? Done : NoAnswer;
}

Controller::Result ControllerAsh::handleReport(const QByteArray &body)
{
    const Report r = AshFrames::decodeReport(body);
    applyRecord(r.record, m_bRecordQuery, m_nRecordCount);
    if (r.record == Report::EmptyRecord)
        return Done;
    if (r.record == Report::PanelReset)
        m_bRecordQuery = false; // Ash reads its records again at once after a reset
    if (r.eventCode > 0) {
        CEvent e = ashEvent();
        e.nEventCode = r.eventCode;
        e.strCode = r.strCode;
        e.nDevType = r.devType;
        emitEvent(e);
    }
    setParity(QSerialPort::MarkParity);
    const bool acked = writePortData(QByteArray(1, char(idleByte(m_nControllerID))));
    if (!r.hasAddress && !acked)
        return NoAnswer;
    return Done;
}

Controller::Result ControllerAsh::readCommandReply()
{
    const int id = m_nControllerID;
    QByteArray b;
    if (!readPortData(b, 1, kReplyTicks))
        return NoReply;
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id))
        return Done;
    if (first != quint8(id))
        return WrongReply;
    QByteArray rest;
    if (!readPortData(rest, 5, kReplyTicks))
        return NoReply;
    return longReplyOk(id, rest) ? Done : WrongReply;
}

Controller::Result ControllerAsh::exchangeCommand(const QByteArray &frame)
{
    setParity(QSerialPort::MarkParity);
    if (!writePortData(frame))
        return WriteFailed;
    return readCommandReply();
}

Controller::Result ControllerAsh::sendControl89()
{
    return exchangeCommand(silenceFrame(m_nControllerID, ++m_nSequence));
}

Controller::Result ControllerAsh::sendControl94()
{
    return exchangeCommand(resetFrame(m_nControllerID, ++m_nSequence));
}

Controller::Result ControllerAsh::syncTime()
{
    // The one exchange of this model that splits address and data by parity.
    const int id = m_nControllerID;
    const QByteArray frame = setTimeFrame(id, ++m_nSequence, now());
    setParity(QSerialPort::MarkParity);
    if (!writePortData(frame.left(1)))
        return WriteFailed;
    pauseMs(5);
    setParity(QSerialPort::SpaceParity);
    if (!writePortData(frame.mid(1)))
        return NoAnswer;
    // The parity stays at space until the next poll cycle sets mark again.
    return readCommandReply() == Done ? Done : NoAnswer;
}

Controller::Result ControllerAsh::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    const QByteArray frame = deviceStateFrame(m_nControllerID, ++m_nSequence, deviceAction(type),
                                              ashDeviceAddress(strCode));
    return exchangeCommand(frame);
}
