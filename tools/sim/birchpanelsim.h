#pragma once
// The panel's side of the Birch/Ash protocol, apart from any transport: it
// takes the bytes a server sends and answers as the panel would. It answers
// polls with the idle byte or the next scripted report or status frame,
// serves its stored records to record requests and then the end frame, and
// acknowledges commands in the short or the long form; it can go silent or
// answer with garbage. It plays the Ash panels as well (byte-paced frames,
// status bits of their own). SimSerialPort runs it on a serial device or a pty.

#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simulators.h"

#include <QByteArray>
#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>

class BirchPanelSim : public PanelSim
{
public:
    enum Model { Birch, Ash };
    enum AckForm { ShortAck, LongAck };
    // One frame the server sent, as parsed.
    struct Received {
        enum Type { Poll, RecordRequest, Command, DeviceState, Ack, StatusAck, Unknown };
        Type type = Unknown;
        QByteArray bytes;
        int counter = 0;     // record requests
        quint8 command = 0;  // command / device-state action byte
    };

    explicit BirchPanelSim(int id = 1, Model model = Birch);
    // The tool's entry: plays ControllerBirch and ControllerAsh; option --ack short|long.
    static SimulatorEntry entry();

    void setId(int id) override { m_nId = id; }
    int id() const { return m_nId; }
    void setModel(Model m) { m_model = m; }
    void setAckForm(AckForm f) { m_ackForm = f; }
    void setSilent(bool on) override { m_bSilent = on; }
    void setGarbage(bool on) override { m_bGarbage = on; }
    // Replay the report script when it runs out.
    void setLoop(bool on) override { m_bLoop = on; }

    // Frames sent in answer to polls, in order (reports, status frames, raw).
    void addScriptFrame(const QByteArray &frame);
    void addReport(quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6);
    void addStatus(quint8 s);
    // Stored records, served to record requests from index 1 on.
    void addRecord(quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6);
    // Reads a script: lines "idle N" (N idle replies, decimal), "report CODE B3 B4 B5 B6", "status S",
    // "record CODE B3 B4 B5 B6", "raw HEX...", "# comment" (numbers in hex).
    bool loadScript(const QString &text, QString *error) override;
    int pendingScriptFrames() const { return m_script.size() - m_nScriptPos; }

    // Panel frames.
    QByteArray reportFrame(quint8 kind, quint8 code, quint8 b3, quint8 b4, quint8 b5, quint8 b6) const;
    QByteArray statusFrame(quint8 s) const;
    QByteArray endFrame() const;

    // Feeds bytes from the server; returns what the panel answers.
    QByteArray feed(const QByteArray &bytes) override;
    QList<Frame> takeFrames() override;
    // Script frames other than the idle byte.
    int reportsSent() const override { return m_nReportsSent; }
    // The frames parsed so far (and clears the list).
    QList<Received> takeReceived();
    static QString describe(const Received &r);

private:
    QByteArray answer(const Received &r);
    QByteArray garbage() const;
    bool parseOne(Received *out);

    int m_nId;
    Model m_model;
    AckForm m_ackForm = ShortAck;
    bool m_bSilent = false;
    bool m_bGarbage = false;
    bool m_bLoop = false;
    QList<QByteArray> m_script;
    int m_nScriptPos = 0;
    int m_nReportsSent = 0;
    QList<QByteArray> m_records;
    QByteArray m_buffer;
    QList<Received> m_received;
};

// A Birch-family simulator on its own serial transport.
using BirchSimPort = SimPortOf<BirchPanelSim>;
