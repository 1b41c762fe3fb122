#pragma once
// Driver of the Marsh network panels (type code 241). The panel library
// (Ats2Panel) owns the link; the driver hands it commands as records, turns
// the panel's reports into events through a fixed code table and the event
// table, and watches the link itself: no report within 30 s of opening is a
// communication fault, and a link that stays unusable is rebuilt after 60 s
// without activity. Reports are queued in the library's signal and emitted
// from the driver's own timer.

#include "panels/controller.h"
#include "panels/models/ats2panel.h"

#include <QList>
#include <QMutex>

#include <functional>

class ControllerMarsh : public Controller
{
    Q_OBJECT
public:
    ControllerMarsh(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, link kind and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerMarsh() override;

    bool openController() override;
    bool closeController() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    Result sendControl97() override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;

    // The panel's address from the link text: "0/10.0.0.5:4001" gives 10.0.0.5.
    QString panelAddress() const { return m_strPanelAddress; }
    // The ports handed to the library, 9102 (local) and 9101 (panel); tests
    // use free ones. Takes effect at the next open or rebuild.
    void setLibraryPorts(quint16 localPort, quint16 panelPort);
    // Monotonic milliseconds that the supervision reads (tests advance it).
    void setIdleClock(std::function<qint64()> msecs) { m_idleClock = std::move(msecs); }
    // The library object; main thread, null while closed.
    Ats2Panel *library() const { return m_pAts; }

public slots:
    void recvDataEvent(const SPanel2ATSData &data);
    void on_recvRowData(const SATSPacket *packet);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void buildLibrary();   // m_atsLock held
    void dropLibrary();
    Result sendRecord(SPanel2ATSData data);
    CEvent marshEvent() const;
    CEvent commEvent(bool bFault) const;
    void queueEvent(const CEvent &e);
    void emitQueued();

    QString m_strPanelAddress;
    quint16 m_nLocalPort = 9102;
    quint16 m_nPanelPort = 9101;
    std::function<qint64()> m_idleClock;

    // m_atsLock guards the pointer m_pAts and m_nRecordCounter: the worker
    // sends commands through the library, the main thread builds and drops it.
    QMutex m_atsLock;
    Ats2Panel *m_pAts = nullptr;
    quint16 m_nRecordCounter = 0;

    // Main thread only (open, close, the library's signal, the timer).
    bool m_bAwaitingFirst = false;
    bool m_bLinkUsable = false;
    bool m_bFaultStands = false;    // a communication fault went out, no link-up since
    qint64 m_nLastActivityMs = 0;   // last report, or last rebuild attempt
    QList<CEvent> m_queue;
    bool m_bQueueFullLogged = false;
    int m_nTimerId = 0;
};
