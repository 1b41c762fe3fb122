#pragma once
// A minimal driver behind a FakeLink for panel-manager tests: it opens and
// closes like a serial model, records the operations the manager and the
// loop call, and answers every poll. A manager subclass puts it behind the
// type codes a test chooses.

#include "panels/controller.h"
#include "panels/cpanelmanager.h"
#include "panels/fakelink.h"

#include <QAtomicInt>
#include <QSet>

class StandInController : public Controller
{
    Q_OBJECT
public:
    StandInController(const QString &strLink, int nControllerID, int nControllerType);
    ~StandInController() override;

    bool openController() override;
    bool closeController() override;
    Result sendControl89() override;

    // Emits from the driver as a model would.
    void emitFromDriver(const CEvent &e) { emitEvent(e); }
    FakeLink *fake() const { return m_pFake; }

    void setRemoteLight(uchar nMode) override { m_lastLight.storeRelaxed(nMode); }
    // Type 250 stands in for a listening model with the remote lamp.
    static const PanelModel &listeningModel();

    QAtomicInt m_closeCount{0};
    QAtomicInt m_silenceCount{0};
    QAtomicInt m_lastLight{-1};
    bool m_bOpenResult = true;

    // Drivers created and not yet destroyed, so tests can see deletions.
    static QAtomicInt s_alive;

private:
    FakeLink *m_pFake;
};

// Creates stand-ins for the given type codes, the real table for the rest.
class StandInPanelManager : public CPanelManager
{
    Q_OBJECT
public:
    explicit StandInPanelManager(const QSet<int> &standInTypes, QObject *parent = nullptr)
        : CPanelManager(parent), m_types(standInTypes)
    {
    }
    ~StandInPanelManager() override { clearControllers(); }

    StandInController *standIn(quint8 nControllerID) const
    {
        return qobject_cast<StandInController *>(controller(nControllerID));
    }

protected:
    Controller *createDriver(const ControllerInfo &info) override;

private:
    QSet<int> m_types;
};
