#pragma once
// The panel's side of the 0x7E record protocol: the Elm panel (UDP, played
// on ElmSimSocket) and the Juniper panel (serial, played on SimSerialPort).
// The panel speaks unasked: it sends the reports of its script one at a
// time, each only after the server acknowledged the one before (Elm: 0x42
// for kind 1, else 0x4D, with the panel's number; Juniper: the time answer),
// sends a report again when no acknowledgement came within the retry time,
// and checks every acknowledgement (CRC, kind, number, time). It records the
// commands, time and device-state frames, connect frames and silence frames
// it receives; it can go silent or send garbage.

#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simulators.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>

class RecordPanelSim : public PanelSim
{
public:
    enum Model { Elm, Juniper };
    // One frame the server sent, as parsed.
    struct Received {
        enum Type { Connect, Ack, Command, Time, DeviceState, Answer, Silence, Unknown };
        Type type = Unknown;
        QByteArray bytes;
        quint8 code = 0;      // ack kind, command code, device action
        quint8 id = 0;        // panel number of acks, commands and time frames
        bool crcOk = false;
        bool expected = true; // an acknowledgement that matches the report waiting for it
    };

    explicit RecordPanelSim(Model model, int id = 1);

    // A report without acknowledgement goes again after this long (1000 ms).
    void setRetryMs(int ms) { m_nRetryMs = ms; }
    // The clock of the report times and of the answer check (tests pin it).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // --- reports (this panel's number and the clock's time) ---
    // A report of the kind in the layout the model gives it: device reports
    // carry loop, address, type and text; others what their kind carries.
    QByteArray report(quint8 kind, int loop = 0, int address = 0, quint8 type = 0,
                      const QString &text = QString()) const;
    void addReport(quint8 kind, int loop = 0, int address = 0, quint8 type = 0, const QString &text = QString());
    // Sent as it stands (no CRC added): damaged or foreign records.
    void addRaw(const QByteArray &bytes);
    // A pause before the next report.
    void addWait(int ms);
    // Lines "report KIND [LOOP ADDRESS TYPE [TEXT]]", "raw HEX...", "wait MS",
    // "panel N", "# comment"; numbers in hex except MS and N.
    bool loadScript(const QString &text, QString *error) override;
    int pendingReports() const;

    QByteArray feed(const QByteArray &bytes) override;
    QList<Frame> takeFrames() override;
    QList<Received> takeReceived();
    int unsolicitedIntervalMs() const override { return 20; }
    QByteArray unsolicited() override;

    // The server address of the last connect frame (null before one), and
    // how many connect frames came.
    QHostAddress announcedServer() const { return m_announced; }
    int connectFrames() const { return m_nConnects; }

    // Counters since construction.
    int reportsSent() const override { return m_nSent; }
    int reportsAcknowledged() const { return m_nAcked; }
    int resends() const { return m_nResends; }
    int wrongAcknowledgements() const { return m_nWrongAcks; }

private:
    struct Step {
        enum Type { Report, Raw, Wait, Panel };
        Type type = Report;
        quint8 kind = 0;
        int loop = 0;
        int address = 0;
        quint8 devType = 0;
        QString text;
        QByteArray raw;
        int value = 0;      // Wait: ms; Panel: the number
    };
    QByteArray deviceBody(int loop, int address, quint8 type, const QByteArray &text) const;
    QByteArray elmReport(quint8 kind, int loop, int address, quint8 type, const QByteArray &text) const;
    QByteArray juniperReport(quint8 kind, int loop, int address, quint8 type, const QByteArray &text) const;
    Received parse(const QByteArray &frame);
    bool nextFrame(QByteArray *frame, bool *raw);
    void check(Received *r);
    QByteArray nextReport();
    static QString describe(const Received &r);

    Model m_model;
    int m_nRetryMs = 1000;
    std::function<QDateTime()> m_clock;

    QList<Step> m_script;
    int m_nPos = 0;
    QElapsedTimer m_waitUntil;   // started when a pause began
    int m_nWaitMs = 0;
    QByteArray m_outstanding;    // the report waiting for its acknowledgement
    QElapsedTimer m_sentAt;
    QByteArray m_buffer;         // serial bytes not yet framed
    // Two lists: takeReceived() and takeFrames() each empty only their own.
    KeptList<Received> m_received;
    KeptList<Frame> m_frames;
    QHostAddress m_announced;
    int m_nConnects = 0;
    int m_nSent = 0;
    int m_nAcked = 0;
    int m_nResends = 0;
    int m_nWrongAcks = 0;
};

class ElmPanelSim : public RecordPanelSim
{
public:
    explicit ElmPanelSim(int id = 1) : RecordPanelSim(Elm, id) {}
    // The tool's entry: plays ControllerElm on its own UDP socket.
    static SimulatorEntry entry();
};

class JuniperPanelSim : public RecordPanelSim
{
public:
    explicit JuniperPanelSim(int id = 1) : RecordPanelSim(Juniper, id) {}
    // The tool's entry: plays ControllerJuniper on a serial device or pty.
    static SimulatorEntry entry();
};

// A Juniper simulator on its own serial transport.
using JuniperSimPort = SimPortOf<JuniperPanelSim>;
