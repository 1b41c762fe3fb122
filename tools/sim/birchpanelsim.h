#pragma once
// The panel's side of the Birch/Ash protocol, apart from any transport: it
// takes the bytes a server sends and answers as the panel would. It answers
// polls with the idle byte or the next scripted report or status frame,
// serves its stored records to record requests and then the end frame, and
// acknowledges commands in the short or the long form; it can go silent or
// answer with garbage. It plays the Ash panels as well: they answer with the
// same bytes, and what sets them apart (byte-paced sending, what the status
// bits mean) lies in the driver and the script. SimSerialPort runs it on a
// serial device or a pty.

#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simulators.h"

#include <QByteArray>
#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>

// One frame the server sent, as parsed.
struct BirchReceived
{
    enum Type { Poll, RecordRequest, Command, DeviceState, Ack, StatusAck, Unknown };
    Type type = Unknown;
    QByteArray bytes;
    int counter = 0;     // record requests
    quint8 command = 0;  // command / device-state action byte
};

class BirchPanelSim : public StreamPanelSim<BirchReceived>
{
public:
    enum AckForm { ShortAck, LongAck };
    using Received = BirchReceived;

    explicit BirchPanelSim(int id = 1);
    // The tool's entry: plays ControllerBirch and ControllerAsh; option --ack short|long.
    static SimulatorEntry entry();

    void setAckForm(AckForm f) { m_ackForm = f; }

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

    // Script frames other than the idle byte.
    int reportsSent() const override { return m_nReportsSent; }

private:
    bool parseOne(Received *out) override;
    QByteArray answer(const Received &r) override;
    QString describe(const Received &r) const override;

    AckForm m_ackForm = ShortAck;
    QList<QByteArray> m_script;
    int m_nScriptPos = 0;
    int m_nReportsSent = 0;
    QList<QByteArray> m_records;
};

// A Birch-family simulator on its own serial transport.
using BirchSimPort = SimPortOf<BirchPanelSim>;
