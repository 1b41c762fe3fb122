#include "panels/models/controllerbirch.h"

#include "panels/models/birchframes.h"

#include <QDebug>

using namespace BirchFrames;

namespace {
const int kReadTicks = 100;    // about one second per byte group of a poll
const int kReplyTicks = 50;    // command replies
}

const PanelModel &ControllerBirch::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerBirch");
        m.typeCodes = {22};
    m.link = PanelModel::Serial;
    m.baudRate = 2400;
    m.parity = QSerialPort::MarkParity;
    m.commEventCode = 17;
    m.pacing = PanelModel::AddressMark;
        m.simulator = QStringLiteral("birch");
        m.create = &createPanelDriver<ControllerBirch>;
        return m;
    }();
    return m;
}

ControllerBirch::ControllerBirch(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model())
{
    m_bRecordQuery = false;
    m_nRecordCount = 1;
}

ControllerBirch::~ControllerBirch()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}




CEvent ControllerBirch::birchEvent() const
{
    CEvent e = makeEvent();
    e.nPanelType = 22;
    return e;
}

void ControllerBirch::applyRecordDelay()
{
    // The panel's records are read again a while after it was reset; a
    // deadline checked each cycle instead of a timer in the worker.
    m_nRecordResumeAtMs = QDateTime::currentMSecsSinceEpoch() + m_nResumeDelayMs;
}

Controller::Result ControllerBirch::pollPanel()
{
    if (m_nRecordResumeAtMs != 0 && QDateTime::currentMSecsSinceEpoch() >= m_nRecordResumeAtMs) {
        m_nRecordResumeAtMs = 0;
        m_bRecordQuery = false;
    }
    const int id = m_nControllerID;
    setParity(QSerialPort::MarkParity);
    clearRecvBuffer();

    const QByteArray out = m_bRecordQuery ? QByteArray(1, char(pollByte(id)))
                                          : recordRequest(id, m_nRecordCount);
    if (!writePortData(out))
        return NoAnswer;

    QByteArray b;
    if (!readPortData(b, 1, kReadTicks)) {
        if (!stopRequested())
            qDebug() << "==========!readPortData(revBuff, 1, 100)";
        m_nRecordCount = 1;
        m_bRecordQuery = true;
        return NoAnswer;
    }
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id))
        return Done;
    if (first != quint8(0x10 + id) && first != quint8(id)) {
        qDebug() << "==========(uchar)revBuff[0] != (0x10 + m_nControllerID) && (uchar)revBuff[0] != m_nControllerID :"
                 << first;
        return NoAnswer;
    }
    if (!readPortData(b, 1, kReadTicks)) {
        qDebug() << "==========!readPortData(revBuff, 1, 100)" << 72;
        return NoAnswer;
    }
    const int length = quint8(b.at(0));
    QByteArray body;
    if (length > 2 && !readPortData(body, length - 2, kReadTicks)) {
        if (length > 3)
            qDebug() << "==========!readPortData(revBuff, nLength - 2, 100)";
        return NoAnswer;
    }
    const quint8 kind = byteAt(body, 1);
    if (body.size() >= 2 && kind == KindEnd) {
        m_bRecordQuery = true;
        m_nRecordCount = 1;
        return Done;
    }
    if (body.size() >= 2 && kind == KindStatus) {
        qDebug().noquote() << "========revBuff[1] == 0xB1: " + QString::fromLatin1(body.toHex(' '));
        if (!writePortData(QByteArray(1, char(statusAck(id)))))
            return NoAnswer;
        qDebug().noquote() << "========resend failed: " + QString::fromLatin1(body.toHex(' '));
        return NoAnswer;
    }
    if (body.size() < 2 || kind != KindReport) {
        qDebug().noquote() << "========resend failed: " + QString::fromLatin1(body.toHex(' '));
        return NoAnswer;
    }
    return handleReport(body);
}

Controller::Result ControllerBirch::handleReport(const QByteArray &body)
{
    const Report r = decodeBirchReport(body);
    applyRecord(r.record, m_bRecordQuery, m_nRecordCount);
    if (r.record == Report::EmptyRecord)
        return Done; // unacknowledged: the next request follows
    if (r.record == Report::PanelReset)
        applyRecordDelay();
    if (r.eventCode > 0) {
        CEvent e = birchEvent();
        e.nEventCode = r.eventCode;
        e.strCode = r.strCode;
        e.strEndCode = r.strEndCode;
        e.nDevType = r.devType;
        emitEvent(e);
    }
    setParity(QSerialPort::MarkParity);
    const bool acked = writePortData(QByteArray(1, char(idleByte(m_nControllerID))));
    if (!r.hasAddress && !acked)
        return NoAnswer;
    return Done;
}

Controller::Result ControllerBirch::exchangeCommand(const QByteArray &frame, ReplyForm *form)
{
    if (form)
        *form = ReplyNone;
    const int id = m_nControllerID;
    if (!writePortData(frame))
        return WriteFailed;
    QByteArray b;
    if (!readPortData(b, 1, kReplyTicks))
        return NoReply;
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id)) {
        if (form)
            *form = ReplyIdle;
        return Done;
    }
    if (first != quint8(id))
        return WrongReply;
    QByteArray rest;
    if (!readPortData(rest, 5, kReplyTicks))
        return NoReply;
    if (!longReplyOk(id, rest))
        return WrongReply;
    if (form)
        *form = ReplyLong;
    return Done;
}

Controller::Result ControllerBirch::sendControl89()
{
    setParity(QSerialPort::MarkParity);
    return exchangeCommand(silenceFrame(m_nControllerID, ++m_nSequence));
}

Controller::Result ControllerBirch::sendControl94()
{
    setParity(QSerialPort::MarkParity);
    CEvent e = birchEvent();
    e.nEventCode = 12;
    e.strCode = e.strEndCode = QStringLiteral("00000000");
    emitEvent(e);
    ReplyForm form = ReplyNone;
    const Result r = exchangeCommand(resetFrame(m_nControllerID, ++m_nSequence), &form);
    if (r != 100)
        return r;
    if (form == ReplyLong) {
        e.strTime = nowText();
        emitEvent(e);
    }
    applyRecordDelay();
    return Done;
}

Controller::Result ControllerBirch::syncTime()
{
    setParity(QSerialPort::MarkParity);
    return exchangeCommand(setTimeFrame(m_nControllerID, ++m_nSequence, now()));
}

Controller::Result ControllerBirch::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    setParity(QSerialPort::MarkParity);
    const QByteArray frame = deviceStateFrame(m_nControllerID, ++m_nSequence, deviceAction(type),
                                              birchDeviceAddress(strCode));
    return exchangeCommand(frame);
}
