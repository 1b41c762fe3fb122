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
    m_clock = [] { return QDateTime::currentDateTime(); };
}

ControllerAsh::~ControllerAsh()
{
    closePort();
}

bool ControllerAsh::openController()
{
    return openSerialPort(model().baudRate, model().parity);
}

bool ControllerAsh::closeController()
{
    closePort();
    return true;
}

QString ControllerAsh::controllerTypeName()
{
    return model().name;
}

CEvent ControllerAsh::ashEvent() const
{
    CEvent e = makeEvent();
    e.nPanelType = 20;
    return e;
}

int ControllerAsh::pollPanel()
{
    const int id = m_nControllerID;
    setParity(QSerialPort::MarkParity);
    clearRecvBuffer();
    const bool querying = !m_bRecordQuery;
    if (querying) {
        if (!writePortData(recordRequest(id, m_nRecordCount)))
            return 101;
        delayMs(kAfterRecordRequestMs);
    } else if (!writePortData(QByteArray(1, char(pollByte(id))))) {
        return 101;
    }
    QByteArray b;
    if (!readPortData(b, 1, querying ? kRecordReplyTicks : kPollReplyTicks)) {
        m_nRecordCount = 1;
        m_bRecordQuery = true;
        return 101;
    }
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id)) {
        m_bRecordQuery = true; // an idle answer ends a record query
        return 100;
    }
    if (first != quint8(0x10 + id) && first != quint8(id))
        return 101;
    if (!readPortData(b, 1, kFrameTicks))
        return 101;
    const int length = quint8(b.at(0));
    QByteArray body;
    if (length > 2 && !readPortData(body, length - 2, kFrameTicks))
        return 101;
    if (body.size() < 2)
        return 101;
    switch (byteAt(body, 1)) {
    case KindEnd:
        m_bRecordQuery = true;
        m_nRecordCount = 1;
        return 100;
    case KindStatus:
        return handleStatus(body);
    case KindReport:
        return handleReport(body);
    default:
        return 101;
    }
}

int ControllerAsh::handleStatus(const QByteArray &body)
{
    const QList<AshFrames::StatusEvent> events = AshFrames::decodeStatus(body, m_nControllerID, m_latch);
    for (const AshFrames::StatusEvent &s : events) {
        CEvent e = ashEvent();
        e.nEventCode = s.eventCode;
        e.nEventProperty = s.property;
        e.strCode = s.strCode;
        emitEvent(e);
    }
    return writePortData(QByteArray(1, char(statusAck(m_nControllerID)))) ? 100 : 101;
}

int ControllerAsh::handleReport(const QByteArray &body)
{
    const Report r = AshFrames::decodeReport(body);
    applyRecord(r.record, m_bRecordQuery, m_nRecordCount);
    if (r.record == Report::EmptyRecord)
        return 100;
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
        return 101;
    return 100;
}

int ControllerAsh::readCommandReply()
{
    const int id = m_nControllerID;
    QByteArray b;
    if (!readPortData(b, 1, kReplyTicks))
        return 6;
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id))
        return 100;
    if (first != quint8(id))
        return 5;
    QByteArray rest;
    if (!readPortData(rest, 5, kReplyTicks))
        return 6;
    return longReplyOk(id, rest) ? 100 : 5;
}

int ControllerAsh::exchangeCommand(const QByteArray &frame)
{
    setParity(QSerialPort::MarkParity);
    if (!writePortData(frame))
        return 4;
    return readCommandReply();
}

int ControllerAsh::sendControl89()
{
    return exchangeCommand(silenceFrame(m_nControllerID, ++m_nSequence));
}

int ControllerAsh::sendControl94()
{
    return exchangeCommand(resetFrame(m_nControllerID, ++m_nSequence));
}

int ControllerAsh::syncTime()
{
    // The one exchange of this model that splits address and data by parity.
    const int id = m_nControllerID;
    const QByteArray frame = setTimeFrame(id, ++m_nSequence, m_clock());
    setParity(QSerialPort::MarkParity);
    if (!writePortData(frame.left(1)))
        return 4;
    pauseMs(5);
    setParity(QSerialPort::SpaceParity);
    if (!writePortData(frame.mid(1)))
        return 101;
    // The parity stays at space until the next poll cycle sets mark again.
    return readCommandReply() == 100 ? 100 : 101;
}

int ControllerAsh::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    const QByteArray frame = deviceStateFrame(m_nControllerID, ++m_nSequence, deviceAction(type),
                                              ashDeviceAddress(strCode));
    return exchangeCommand(frame);
}
