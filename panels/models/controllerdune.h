#pragma once
// Driver of the Dune panel (type code 160): the handshake framing of the
// Cedar panels with whole-frame writes, the Birch family's event vocabulary
// and address form, a fixed panel type in its events, and a record query
// that starts again only five seconds after a reset.

#include "panels/models/controllercedar.h"

#include <functional>

class ControllerDune : public ControllerCedar
{
    Q_OBJECT
public:
    ControllerDune(const QString &strLink, int nControllerID, int nControllerType);
    // Type codes, line settings and the rest the server knows of this model.
    static const PanelModel &model();
    ~ControllerDune() override;

    Result pollPanel() override;
    Result sendControl94() override;
    // This model reads no values: the base answers without a word to the panel.
    Result readValue(quint8 nLoop, quint8 nChannel, quint8 nDevType) override;

    // Monotonic milliseconds that the record-resume deadline is measured on
    // (tests step it by hand).
    void setMonotonicClock(std::function<qint64()> clock) { m_monotonicMs = std::move(clock); }

protected:
    Result handleReport(const CedarFrames::Report &r) override;
    QByteArray deviceAddress(const QString &strCode) const override;

private:
    static Traits traits();
    void armRecordResume();
    void emitReset(bool withEndCode);

    std::function<qint64()> m_monotonicMs;
    bool m_bResumeArmed = false;  // worker: a record query is due at m_nResumeAtMs
    qint64 m_nResumeAtMs = 0;
};
