#pragma once
// The panel's side of the Glen protocol, apart from any transport: it answers
// polls with a reply header, the next scripted block of records and a closing
// byte, acknowledges command frames and ignores clock frames; it can go silent
// or answer with garbage. It can play records of every kind, or full record
// blocks back to back. SimSerialPort runs it on a serial device or a pty.

#include "tools/sim/panelsim.h"
#include "tools/sim/simserialport.h"
#include "tools/sim/simulators.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

// One frame the server sent, as parsed.
struct GlenReceived
{
    enum Type { Poll, Command, Unknown };
    Type type = Unknown;
    QByteArray bytes;
    quint8 function = 0;   // commands: byte 8; polls: v
};

class GlenPanelSim : public StreamPanelSim<GlenReceived>
{
public:
    using Received = GlenReceived;

    explicit GlenPanelSim(int id = 1);
    // The tool's entry: option --glen-play kinds|blocks.
    static SimulatorEntry entry();

    // A 14-byte record with a BCD time; a 29-byte record of kind 0x1F.
    static QByteArray record(quint8 kind, const QByteArray &bytes1to7, const QDateTime &when);
    static QByteArray longRecord(int panel, quint8 loop, quint8 address);

    // Replies to polls, in order: one block of records, n idle replies, raw bytes.
    void addBlock(const QList<QByteArray> &records);
    void addIdle(int n);
    void addRaw(const QByteArray &reply);
    // Records of every kind the panel knows, in blocks.
    void playEveryKind();
    // Full blocks of 18 one-event records, looping.
    void playFullBlocks();
    static int fullBlockRecords() { return 18; }
    // Lines: "idle N" (decimal), "record HEX" (consecutive records form one
    // block of at most 255 bytes), "block" (ends the block), "raw HEX",
    // "# comment".
    bool loadScript(const QString &text, QString *error) override;

    // Reply header: byte 4 0x60 with a block of length bytes, else 0x50.
    QByteArray header(int length) const;

private:
    bool parseOne(Received *out) override;
    QByteArray answer(const Received &r) override;
    QString describe(const Received &r) const override;
    QByteArray pollReply();

    QList<QByteArray> m_script;   // whole poll replies
    int m_nScriptPos = 0;
};

// A Glen simulator on its own serial transport.
using GlenSimPort = SimPortOf<GlenPanelSim>;
