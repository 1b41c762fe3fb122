#pragma once
// Driver of the Cedar panels (type codes 50, 150, 190, 200): polled serial
// panels at 2400 baud where every exchange opens with a handshake that
// addresses the panel, followed by fixed-length reports ending in 0xBB. It
// reads the panel's stored records after start-up and after every reset,
// turns client commands into handshakes and blocks, and reads live values.
// ControllerDune builds on it with its own tables and timings.

#include "panels/controller.h"
#include "panels/models/cedarframes.h"

#include <QDateTime>


class ControllerCedar : public Controller
{
    Q_OBJECT
public:
    ControllerCedar(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerCedar() override;

    Result pollPanel() override;
    Result sendControl89() override;
    Result sendControl94() override;
    Result syncTime() override;
    Result setDeviceState(int type, QString strCode, QString strEndCode) override;
    Result readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType) override;

    // Record-query state, for tests (worker data: read it only while stopped).
    bool recordQueryDone() const { return m_bRecordQuery; }
    // How long the record and read-value replies are awaited, in 10 ms
    // ticks; tests shorten the waits that end every record query.
    void setRecordReplyTicks(int ticks) { m_nRecordReplyTicks = ticks; }
    void setReadValueTicks(int ticks) { m_nReadValueTicks = ticks; }

protected:
    // Where the members of the family differ within the same exchanges.
    struct Traits {
        CedarFrames::Model frames = CedarFrames::Cedar;
        int eventPanelType = 0;     // 0: the controller type code
        int recordReplyTicks = 200;
        int blockPauseMs = 0;       // after the handshake, before a command block
        bool timeWithSeconds = false;
    };
    ControllerCedar(const QString &strLink, int nControllerID, int nControllerType,
                    const PanelModel *model, const Traits &traits);

    // Handles a complete report whose checks passed; Done or NoAnswer.
    virtual Result handleReport(const CedarFrames::Report &r);
    // The four address bytes of a device-state block; empty for a code that
    // is not exactly the digits the block needs (a wildcard or a letter
    // would address another device).
    virtual QByteArray deviceAddress(const QString &strCode) const;

    // Address phase under mark parity, the panel's echo, and (with a data
    // phase) the byte 0x0F under space parity.
    bool shakeHand(quint8 command, bool dataPhase);
    bool acknowledge(quint8 byte);
    void requestRecord();
    CEvent cedarEvent() const;
    void emitCode(int code, const CedarFrames::Report *r = nullptr);

private:
    Traits m_traits;
    int m_nRecordReplyTicks;
    int m_nReadValueTicks = 500;
    QString m_strWho;   // "ControllerCedar 3:", the start of our log lines
};
