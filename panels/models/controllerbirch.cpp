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
    m_clock = [] { return QDateTime::currentDateTime(); };
}

ControllerBirch::~ControllerBirch()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}

bool ControllerBirch::openController()
{
    return openSerialPort(model().baudRate, model().parity);
}

bool ControllerBirch::closeController()
{
    closePort();
    return true;
}

QString ControllerBirch::controllerTypeName()
{
    return model().name;
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

int ControllerBirch::pollPanel()
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
        return 101;

    QByteArray b;
    if (!readPortData(b, 1, kReadTicks)) {
        if (!stopRequested())
            qDebug() << "==========!readPortData(revBuff, 1, 100)";
        m_nRecordCount = 1;
        m_bRecordQuery = true;
        return 101;
    }
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id))
        return 100;
    if (first != quint8(0x10 + id) && first != quint8(id)) {
        qDebug() << "==========(uchar)revBuff[0] != (0x10 + m_nControllerID) && (uchar)revBuff[0] != m_nControllerID :"
                 << first;
        return 101;
    }
    if (!readPortData(b, 1, kReadTicks)) {
        qDebug() << "==========!readPortData(revBuff, 1, 100)" << 72;
        return 101;
    }
    const int length = quint8(b.at(0));
    QByteArray body;
    if (length > 2 && !readPortData(body, length - 2, kReadTicks)) {
        if (length > 3)
            qDebug() << "==========!readPortData(revBuff, nLength - 2, 100)";
        return 101;
    }
    const quint8 kind = byteAt(body, 1);
    if (body.size() >= 2 && kind == KindEnd) {
        m_bRecordQuery = true;
        m_nRecordCount = 1;
        return 100;
    }
    if (body.size() >= 2 && kind == KindStatus) {
        qDebug().noquote() << "========revBuff[1] == 0xB1: " + QString::fromLatin1(body.toHex(' '));
        if (!writePortData(QByteArray(1, char(statusAck(id)))))
            return 101;
        qDebug().noquote() << "========resend failed: " + QString::fromLatin1(body.toHex(' '));
        return 101;
    }
    if (body.size() < 2 || kind != KindReport) {
        qDebug().noquote() << "========resend failed: " + QString::fromLatin1(body.toHex(' '));
        return 101;
    }
    return handleReport(body);
}

int ControllerBirch::handleReport(const QByteArray &body)
{
    const Report r = decodeBirchReport(body);
    applyRecord(r.record, m_bRecordQuery, m_nRecordCount);
    if (r.record == Report::EmptyRecord)
        return 100; // unacknowledged: the next request follows
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
        return 101;
    return 100;
}

int ControllerBirch::exchangeCommand(const QByteArray &frame, ReplyForm *form)
{
    if (form)
        *form = ReplyNone;
    const int id = m_nControllerID;
    if (!writePortData(frame))
        return 4;
    QByteArray b;
    if (!readPortData(b, 1, kReplyTicks))
        return 6;
    const quint8 first = quint8(b.at(0));
    if (first == idleByte(id)) {
        if (form)
            *form = ReplyIdle;
        return 100;
    }
    if (first != quint8(id))
        return 5;
    QByteArray rest;
    if (!readPortData(rest, 5, kReplyTicks))
        return 6;
    if (!longReplyOk(id, rest))
        return 5;
    if (form)
        *form = ReplyLong;
    return 100;
}

int ControllerBirch::sendControl89()
{
    setParity(QSerialPort::MarkParity);
    return exchangeCommand(silenceFrame(m_nControllerID, ++m_nSequence));
}

int ControllerBirch::sendControl94()
{
    setParity(QSerialPort::MarkParity);
    CEvent e = birchEvent();
    e.nEventCode = 12;
    e.strCode = e.strEndCode = QStringLiteral("00000000");
    emitEvent(e);
    ReplyForm form = ReplyNone;
    const int r = exchangeCommand(resetFrame(m_nControllerID, ++m_nSequence), &form);
    if (r != 100)
        return r;
    if (form == ReplyLong) {
        e.strTime = nowText();
        emitEvent(e);
    }
    applyRecordDelay();
    return 100;
}

int ControllerBirch::syncTime()
{
    setParity(QSerialPort::MarkParity);
    return exchangeCommand(setTimeFrame(m_nControllerID, ++m_nSequence, m_clock()));
}

int ControllerBirch::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(strEndCode);
    setParity(QSerialPort::MarkParity);
    const QByteArray frame = deviceStateFrame(m_nControllerID, ++m_nSequence, deviceAction(type),
                                              birchDeviceAddress(strCode));
    return exchangeCommand(frame);
}
