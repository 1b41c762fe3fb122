#include "clients/ceventprocess.h"

CEventProcess::CEventProcess(QObject *parent) : QObject(parent)
{
    m_pacingTimer.setInterval(TickIntervalMs);
    connect(&m_pacingTimer, &QTimer::timeout, this, &CEventProcess::tick);
    startPacing();
}

CEventProcess::~CEventProcess() = default;

QList<CEvent> CEventProcess::currentEvents() const { return m_active.events(); }
QString CEventProcess::deviceKey(const CEvent &e) { return e.strCode; }
bool CEventProcess::isRepeatExempt(int) { return false; }
bool CEventProcess::isStandingNumber(int) { return false; }
void CEventProcess::setTimersEnabled(bool bEnabled) { m_bTimersEnabled = bEnabled; }
bool CEventProcess::isActiveKey(quint8, int, const QString &) const { return false; }
int CEventProcess::waitingCount() const { return 0; }
int CEventProcess::waitingCount(int) const { return -1; }
void CEventProcess::handleEvent(QVariant) {}
void CEventProcess::tick() {}
bool CEventProcess::processResetFollowUp() { return false; }
void CEventProcess::startPacing()
{
    m_bPacing = true;
    if (m_bTimersEnabled)
        m_pacingTimer.start();
}
