#pragma once
// Driver of the Birch panel (type code 22): a polled serial panel at 2400
// baud whose server frames start with an address byte under mark parity.
// Besides single polls it reads the panel's stored records one index at a
// time, and it turns client commands into confirmed command frames.

#include "panels/controller.h"

#include <QDateTime>


class ControllerBirch : public Controller
{
    Q_OBJECT
public:
    ControllerBirch(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerBirch() override;

    Result pollPanel() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;

    // Record-query state, for tests (worker data: read it only while stopped).
    bool recordQueryDone() const { return m_bRecordQuery; }
    int recordCounter() const { return m_nRecordCount; }
    // How long after a panel reset the records are read again (3000 ms).
    void setRecordResumeDelayMs(int ms) { m_nResumeDelayMs = ms; }

private:
    enum ReplyForm { ReplyNone, ReplyIdle, ReplyLong };
    // Sends one command frame and reads the reply: Done, WriteFailed, WrongReply or NoReply.
    Result exchangeCommand(const QByteArray &frame, ReplyForm *form = nullptr);
    Result handleReport(const QByteArray &body);
    void applyRecordDelay();
    CEvent birchEvent() const;

    quint8 m_nSequence = 0;
    qint64 m_nRecordResumeAtMs = 0; // worker: when the record query starts again (0 = not armed)
    int m_nResumeDelayMs = 3000;
};
