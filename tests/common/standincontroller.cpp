#include "common/standincontroller.h"

QAtomicInt StandInController::s_alive{0};

const PanelModel &StandInController::listeningModel()
{
    static const PanelModel m = [] {
        PanelModel m;
        m.name = QStringLiteral("StandInListening");
        m.typeCodes = {250};
        m.listening = true;
        m.remoteLamp = true;
        m.commEventCode = 17;
        return m;
    }();
    return m;
}

StandInController::StandInController(const QString &strLink, int nControllerID, int nControllerType)
    : Controller(strLink, nControllerID, nControllerType, nControllerType == 250 ? &listeningModel() : nullptr),
      m_pFake(new FakeLink)
{
    setLink(m_pFake);
    setPassDelayMs(10);
    s_alive.ref();
}

StandInController::~StandInController()
{
    if (isRunning())
        closePort();
    s_alive.deref();
}

bool StandInController::openController()
{
    m_pFake->setOpenResult(m_bOpenResult);
    return openSerialPort(115200, QSerialPort::NoParity);
}

bool StandInController::closeController()
{
    m_closeCount.ref();
    closePort();
    return true;
}

Controller::Result StandInController::sendControl89()
{
    m_silenceCount.ref();
    return Done;
}

Controller *StandInPanelManager::createDriver(const ControllerInfo &info)
{
    if (m_types.contains(info.controllerType))
        return new StandInController(QStringLiteral("COM:COM%1").arg(info.comPort), info.controllerId,
                                     info.controllerType);
    return CPanelManager::createDriver(info);
}
