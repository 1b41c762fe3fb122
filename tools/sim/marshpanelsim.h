#pragma once
// The panel's side of the Marsh library protocol (see ats2panel.h), apart
// from any socket: it acknowledges the server's command records, answers
// keep-alives, and sends scripted reports one at a time, repeating each until
// it is acknowledged; it can go silent or answer with garbage.
// MarshSimTransport runs it on a UDP socket.

#include "panels/models/ats2wire.h"
#include "tools/sim/panelsim.h"
#include "tools/sim/simtransport.h"
#include "tools/sim/simulators.h"

#include <QHostAddress>
#include <QList>
#include <QTimer>
#include <QUdpSocket>

class MarshPanelSim : public PanelSim
{
public:
    explicit MarshPanelSim(int id = 1);
    // The tool's entry: runs on UDP from --listen (default 9101) towards
    // --server (default 127.0.0.1:9102).
    static SimulatorEntry entry();

    // A report; byte 7 and byte 8 are the device numbers of the two codes.
    static SPanel2ATSData report(quint8 code, quint8 byte1, quint8 byte7, quint8 byte8,
                                 const QString &text2, const QString &text3);
    void addReport(const SPanel2ATSData &report);
    // Lines: "report CODE BYTE1 BYTE7 BYTE8 TEXT2 TEXT3" (numbers decimal or
    // 0x hex), "wait N" (N report periods), "# comment".
    bool loadScript(const QString &text, QString *error) override;
    // How often a report goes out or is repeated (100 ms).
    void setReportIntervalMs(int ms) { m_nIntervalMs = ms; }

    QByteArray feed(const QByteArray &datagram) override;
    QList<Frame> takeFrames() override;
    // The command records received (repeats included once), oldest first.
    QList<SPanel2ATSData> takeCommands();
    int unsolicitedIntervalMs() const override { return m_nIntervalMs; }
    QByteArray unsolicited() override;
    int reportsSent() const override { return m_nReportsSent; }

private:
    QByteArray encode(quint8 kind, quint16 sequence, const SPanel2ATSData &record = {}) const;
    void note(const QString &text, int size);

    int m_nIntervalMs = 100;
    QList<SPanel2ATSData> m_script;   // a record with code 0 and nIndex n: wait n periods
    int m_nScriptPos = 0;
    int m_nWait = 0;
    quint16 m_nSequence;
    int m_nReportsSent = 0;
    bool m_bUnacked = false;          // m_pending waits for its acknowledgement
    SPanel2ATSData m_pending;
    quint16 m_nPendingSequence = 0;
    bool m_bHaveLast = false;
    quint16 m_nLastCommand = 0;
    KeptList<SPanel2ATSData> m_commands;
    KeptList<Frame> m_frames;
};

// Runs a simulator on a UDP socket: datagrams in are fed to it and its answer
// goes back to their sender; its reports go to the server address, which
// becomes the sender of the latest datagram.
class MarshSimTransport : public SimTransport
{
    Q_OBJECT
public:
    explicit MarshSimTransport(PanelSim &sim, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 localPort() const { return m_socket.localPort(); }
    void setServer(const QHostAddress &address, quint16 port);
    QString errorText() const { return m_socket.errorString(); }
    // Sends a datagram to the server as it stands (hostile-input tests).
    void sendRaw(const QByteArray &datagram);

private:
    void onReadyRead();
    void emitFrames();

    PanelSim &m_sim;
    QUdpSocket m_socket;
    QTimer m_reports;
    QHostAddress m_server = QHostAddress(QHostAddress::LocalHost);
    quint16 m_nServerPort = 9102;
};
