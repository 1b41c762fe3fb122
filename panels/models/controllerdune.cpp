#include "panels/models/controllerdune.h"

#include "panels/models/birchframes.h"

#include <QDeadlineTimer>

using namespace CedarFrames;

namespace {
const int kRecordResumeMs = 5000; // the panel lists its records again this long after a reset
const int kAfterResetMs = 150;
}

ControllerCedar::Traits ControllerDune::traits()
{
    Traits v;
    v.frames = Dune;
    v.eventPanelType = 160;
    v.recordReplyTicks = 50;
    v.blockPauseMs = 5;
    v.timeWithSeconds = false;
    return v;
}

const PanelModel &ControllerDune::model()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("ControllerDune");
        m.typeCodes = {160};
        m.link = PanelModel::Serial;
        m.baudRate = 2400;
        m.parity = QSerialPort::MarkParity;
        m.commEventCode = 17;
        m.pacing = PanelModel::WholeFrame;
        m.simulator = QStringLiteral("cedar");
        m.create = &createPanelDriver<ControllerDune>;
        return m;
    }();
    return m;
}

ControllerDune::ControllerDune(const QString &strLink, int nControllerID, int nControllerType)
    : ControllerCedar(strLink, nControllerID, nControllerType, &model(), traits())
{
    m_monotonicMs = [] { return QDeadlineTimer::current().deadline(); };
}

ControllerDune::~ControllerDune()
{
    // The loop calls our overrides: it must end before this object does.
    closePort();
}

void ControllerDune::armRecordResume()
{
    // A deadline checked each cycle instead of a timer in the worker.
    m_bResumeArmed = true;
    m_nResumeAtMs = m_monotonicMs() + kRecordResumeMs;
}

void ControllerDune::emitReset(bool withEndCode)
{
    CEvent e = cedarEvent();
    e.nEventCode = 12;
    e.strCode = QStringLiteral("00000000");
    if (withEndCode)
        e.strEndCode = e.strCode;
    emitEvent(e);
}

Controller::Result ControllerDune::pollPanel()
{
    if (m_bResumeArmed && m_monotonicMs() >= m_nResumeAtMs) {
        m_bResumeArmed = false;
        m_bRecordQuery = false;
    }
    return ControllerCedar::pollPanel();
}

Controller::Result ControllerDune::handleReport(const Report &r)
{
    switch (r.header) {
    case HeaderIdle:
        return acknowledge(Accepted) ? Done : NoAnswer;
    case HeaderReset:
        emitReset(false);
        acknowledge(Accepted);
        armRecordResume();
        return Done;
    case HeaderSilenced:
        emitCode(37);
        acknowledge(Accepted);
        return Done;
    case HeaderStatus:
        acknowledge(Accepted);
        return Done;
    case HeaderCleared:
        acknowledge(Accepted);
        emitCode(duneClearedCode(r.state, r.devType), &r);
        return Done;
    case HeaderRaised:
        acknowledge(Accepted);
        emitCode(duneRaisedCode(r.state), &r);
        return Done;
    default:
        return Done; // the panel answered; nothing of it is ours to read
    }
}

Controller::Result ControllerDune::sendControl94()
{
    // Reported once the panel took it: a reset it never received, or one
    // tried again after an unanswered attempt, must not reach the clients
    // and the centre as done.
    if (!shakeHand(CommandReset, false))
        return NoAnswer;
    emitReset(true);
    armRecordResume();
    delayMs(kAfterResetMs);
    return Done;
}

Controller::Result ControllerDune::readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType)
{
    return Controller::readValue(nLoop, nChannel, nDevType);
}

QByteArray ControllerDune::deviceAddress(const QString &strCode) const
{
    // Characters 3..10 as decimal pairs, sent as BCD (the Birch form).
    return BirchFrames::isDeviceDigits(strCode, 11) ? BirchFrames::birchDeviceAddress(strCode) : QByteArray();
}
