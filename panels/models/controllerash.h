#pragma once
// Driver of the Ash panels (type codes 10, 11, 20, 30, 40, 41), an older
// member of the Birch family: same framing, but byte-paced frames wholly
// under mark parity, status frames carrying power and fault bits, its own
// event codes and a set-time exchange that sends the address byte apart.

#include "panels/controller.h"
#include "panels/models/ashframes.h"

#include <QDateTime>


class ControllerAsh : public Controller
{
    Q_OBJECT
public:
    ControllerAsh(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerAsh() override;

    Result pollPanel() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;

    bool recordQueryDone() const { return m_bRecordQuery; }
    int recordCounter() const { return m_nRecordCount; }

private:
    // Reads the reply to a command: true when accepted (idle or good long form).
    Result readCommandReply();
    Result exchangeCommand(const QByteArray &frame);
    Result handleReport(const QByteArray &body);
    Result handleStatus(const QByteArray &body);
    CEvent ashEvent() const;

    quint8 m_nSequence = 0;
    AshFrames::StatusLatch m_latch; // worker only
};
