#pragma once
// Driver of the Glen panels (type codes 31, 32, 231..234, 251..253): a polled
// serial panel at 57600 baud. Each poll may bring a block of event records;
// commands (silence, reset, clock, read-value switch) are 19-byte frames with
// a running sequence number. Device states cannot be set on this panel.

#include "panels/controller.h"

#include <QDateTime>


class ControllerGlen : public Controller
{
    Q_OBJECT
public:
    ControllerGlen(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerGlen() override;

    Result pollPanel() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    Result readValueSwitch(quint8 nPanelID, int nLoop, int nChannel, int nDevType) override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;

    // Worker data, for tests: read it only while the worker is stopped.
    quint16 sequenceCounter() const { return m_nSequence; }
    void setSequenceCounter(quint16 n) { m_nSequence = n; }
    // A cycle has failed since the driver was made: polls then carry 0x10.
    bool pollsAfterFailure() const { return m_bRecordQuery; }

private:
    // Writes a command frame and reads the 8-byte reply: Done, NoReply or
    // WriteFailed.
    Result exchangeCommand(const QByteArray &frame);
    // Panel number of a silence or reset frame.
    int targetPanel() const;
    Result failCycle(const char *what);
    void emitRecord(const QByteArray &record);

    quint16 m_nSequence = 0;   // worker
};
