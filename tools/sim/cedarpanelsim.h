#pragma once
// The panel's side of the Cedar/Dune handshake protocol, apart from any
// transport. It echoes handshakes addressed to it, answers a poll's data
// phase with the idle header or the next scripted report (reset, silenced,
// status, analog value, raised and cleared conditions), sends a report again
// when the server asks with 0xFF, lists its stored records to record
// requests and falls silent past the last one, and answers set-time,
// device-state and read-value requests. On request it goes silent, answers
// with garbage, or sends every n-th report first with a wrong checksum.
//
// Pseudo-terminals keep no parity, so it tells the server's address phase
// from its data phase by the state of the exchange: after echoing a
// handshake with a data phase it expects 0x0F, after a report 0x1F or 0xFF,
// after a set-time or device-state handshake the block; any other byte
// starts over as a new frame.

#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simulators.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One frame the server sent, as parsed.
struct CedarReceived
{
    enum Type { Handshake, DataPhase, Accepted, SendAgain, RecordRequest, SetTime, DeviceState,
                ReadValue, Unknown };
    Type type = Unknown;
    QByteArray bytes;
    quint8 command = 0;  // handshake command byte
    int index = 0;       // record requests: the record asked for
};

class CedarPanelSim : public StreamPanelSim<CedarReceived>
{
public:
    enum Model { Cedar, Dune };
    using Received = CedarReceived;

    explicit CedarPanelSim(int id = 1, Model model = Cedar);
    // The tool's entry: plays ControllerCedar and ControllerDune.
    static SimulatorEntry entry();

    void setModel(Model m) { m_model = m; }
    // Going silent also forgets the exchange in progress.
    void setSilent(bool on) override;
    // Every n-th checksummed report first goes out with a wrong checksum (0: never).
    void setWrongChecksumEvery(int n) { m_nWrongEvery = n; }
    // Set-time and device-state blocks are refused.
    void setRefuseCommands(bool on) { m_bRefuse = on; }
    // What a read-value request returns.
    void setReadValue(quint16 v) { m_nReadValue = v; }

    // --- panel frames ---
    QByteArray statusFrame(quint8 s) const;
    // Raised (0xEE) or cleared (0xDD) condition of a device: four address
    // bytes (byte 3 the device type) and the state byte.
    static QByteArray conditionFrame(bool raised, const QByteArray &address, quint8 state);
    // Analog value: four address bytes, then b4, b5, b6.
    static QByteArray analogFrame(const QByteArray &address, quint8 b4, quint8 b5, quint8 b6);
    QByteArray recordReply(int index, const QByteArray &address) const;

    // --- script: answers to polls, in order, then idle headers ---
    void addScriptFrame(const QByteArray &frame, bool checksummed = false);
    void addIdle(int polls);
    void addReset();
    void addSilenced();
    void addStatus(quint8 s);
    void addRaised(const QByteArray &address, quint8 state);
    void addCleared(const QByteArray &address, quint8 state);
    void addAnalog(const QByteArray &address, quint8 b4, quint8 b5, quint8 b6);
    // Stored records, served to record requests from index 1 on.
    void addRecord(const QByteArray &address);
    // Lines (numbers in hex unless stated): "idle N" (N decimal), "reset",
    // "silenced", "status S", "raised A0 A1 A2 A3 S", "cleared A0 A1 A2 A3 S",
    // "analog A0 A1 A2 A3 B4 B5 B6", "record A0 A1 A2 A3", "raw HEX...", "# comment".
    bool loadScript(const QString &text, QString *error) override;
    int pendingScriptFrames() const { return m_script.size() - m_nScriptPos; }

    // Raised, cleared and analog reports of the script.
    int reportsSent() const override { return m_nReportsSent; }

private:
    enum State { Idle, WaitData, WaitAck, WaitTimeBlock, WaitStateBlock };
    struct ScriptFrame {
        QByteArray bytes;
        bool checksummed = false;
    };

    bool parseOne(Received *out) override;
    QByteArray answer(const Received &r) override;
    QString describe(const Received &r) const override;
    QByteArray nextReport();

    Model m_model;
    bool m_bRefuse = false;
    int m_nWrongEvery = 0;
    int m_nChecksummed = 0;
    int m_nReportsSent = 0;
    quint16 m_nReadValue = 0x0123;
    State m_state = Idle;
    quint8 m_nPending = 0;          // command of the handshake in progress
    QList<ScriptFrame> m_script;
    int m_nScriptPos = 0;
    QByteArray m_lastGood;          // the report last sent, as it should have been
    QByteArray m_resend;            // what the next poll sends first
    QList<QByteArray> m_records;    // address bytes of each stored record
};

// A Cedar/Dune simulator on its own serial transport.
using CedarSimPort = SimPortOf<CedarPanelSim>;
