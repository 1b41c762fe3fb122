#include "panels/models/controllerglen.h"

#include "panels/models/glenframes.h"

#include <QDebug>

using namespace GlenFrames;

namespace {
const int kReadTicks = 50;
// The panel needs time after a code-121 record before the rest of the reply.
const int kAfter121Ms = 200;
}

const PanelModel &ControllerGlen::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerGlen");
        m.typeCodes = {31, 32, 231, 232, 233, 234, 251, 252, 253};
        m.link = PanelModel::Serial;
        m.baudRate = 57600;
        m.parity = QSerialPort::NoParity;
        m.commEventCode = 0;
        m.pacing = PanelModel::WholeFrame;
        m.simulator = QStringLiteral("glen");
        m.frontsNetwork = true;
        m.create = &createPanelDriver<ControllerGlen>;
        return m;
    }();
    return m;
}

ControllerGlen::ControllerGlen(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, &model())
{
    m_bRecordQuery = false;
}

ControllerGlen::~ControllerGlen()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}




Controller::Result ControllerGlen::failCycle(const char *what)
{
    if (!stopRequested())
        qDebug() << "==========!" << what;
    m_bRecordQuery = true;
    return NoAnswer;
}

Controller::Result ControllerGlen::pollPanel()
{
    if (!writePortData(pollFrame(m_bRecordQuery)))
        return failCycle("writePortData(poll)");
    delayMs(10);
    QByteArray header;
    if (!readPortData(header, HeaderSize, kReadTicks))
        return failCycle("readPortData(revBuff, 8, 50)");
    // A header announcing a block of no bytes carries none: reading 0 bytes
    // would swallow the closing byte along with everything else buffered.
    const int length = blockLength(header);
    if (length > 0) {
        QByteArray block;
        if (!readPortData(block, length, kReadTicks))
            return failCycle("readPortData(revBuff, revBuff[7], 50)");
        for (const QByteArray &record : splitRecords(block))
            emitRecord(record);
    }
    QByteArray closing;
    if (!readPortData(closing, 1, kReadTicks))
        return failCycle("readPortData(revBuff, 1, 50)");
    return Done;
}

void ControllerGlen::emitRecord(const QByteArray &record)
{
    const QList<CEvent> events = decodeRecord(record, m_nControllerID, m_nControllerType, now());
    for (CEvent e : events) {
        e.nCom = comNumber();
        qDebug().noquote() << QStringLiteral("======================== %1 0x%2 %3 %4 %5")
                                  .arg(e.nEventCode)
                                  .arg(quint8(record.at(0)), 2, 16, QLatin1Char('0'))
                                  .arg(e.strCode, e.strEndCode, QString::fromLatin1(record.toHex(' ')));
        emitEvent(e);
        if (e.nEventCode == 121)
            delayMs(kAfter121Ms);
    }
}

Controller::Result ControllerGlen::exchangeCommand(const QByteArray &frame)
{
    if (!writePortData(frame))
        return WriteFailed;
    QByteArray reply;
    if (!readPortData(reply, HeaderSize, kReadTicks))
        return NoReply;
    return Done;
}

int ControllerGlen::targetPanel() const
{
    // A command routed here for a panel of the network carries that panel's
    // number, as the read-value switch always does; site-wide ones ours.
    return commandPanelID() != 0 ? commandPanelID() : m_nControllerID;
}

Controller::Result ControllerGlen::sendControl89()
{
    return exchangeCommand(silenceFrame(m_nSequence, targetPanel()));
}

Controller::Result ControllerGlen::sendControl94()
{
    return exchangeCommand(resetFrame(m_nSequence, targetPanel()));
}

Controller::Result ControllerGlen::syncTime()
{
    // The panel does not answer a clock frame.
    return writePortData(timeFrame(m_nSequence, m_nControllerID, now())) ? Done : NotDone;
}

Controller::Result ControllerGlen::readValueSwitch(quint8 nPanelID, int nLoop, int nChannel, int nDevType)
{
    return exchangeCommand(readValueSwitchFrame(m_nSequence, nPanelID, nLoop, nChannel, nDevType));
}

Controller::Result ControllerGlen::setDeviceState(int type, QString strCode, QString strEndCode)
{
    Q_UNUSED(type); Q_UNUSED(strCode); Q_UNUSED(strEndCode);
    return NotDone; // not supported by the panel: nothing is sent
}
