#pragma once
// Driver of the Ash panels (type codes 10, 11, 20, 30, 40, 41), an older
// member of the Birch family: same framing, but byte-paced frames wholly
// under mark parity, status frames carrying power and fault bits, its own
// event codes and a set-time exchange that sends the address byte apart.

#include "panels/controller.h"
#include "panels/models/ashframes.h"

#include <QDateTime>

#include <functional>

class ControllerAsh : public Controller
{
    Q_OBJECT
public:
    ControllerAsh(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerAsh() override;

    bool openController() override;
    bool closeController() override;
    QString controllerTypeName() override;
    int pollPanel() override;
    int sendControl89() override;
    int sendControl94() override;
    int syncTime() override;
    int setDeviceState(int type, QString strCode, QString strEndCode) override;

    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    bool recordQueryDone() const { return m_bRecordQuery; }
    int recordCounter() const { return m_nRecordCount; }

private:
    // Reads the reply to a command: true when accepted (idle or good long form).
    int readCommandReply();
    int exchangeCommand(const QByteArray &frame);
    int handleReport(const QByteArray &body);
    int handleStatus(const QByteArray &body);
    CEvent ashEvent() const;

    quint8 m_nSequence = 0;
    AshFrames::StatusLatch m_latch; // worker only
    std::function<QDateTime()> m_clock;
};
