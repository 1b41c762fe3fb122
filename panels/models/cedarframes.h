#pragma once
// The wire format of the handshake panel family (Cedar and Dune): every
// exchange opens with the panel number and a command byte under mark parity,
// the panel echoes its number, and its reports are fixed-length frames after
// a two-byte header that end in the terminator 0xBB. Pure code, no I/O: the
// server's frames byte by byte, the panel's frames decoded with a status, and
// the event tables of both models.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace CedarFrames {

// Which member of the family reads a frame: they differ in the length of the
// status frame, Dune knows no analog frame, and their event tables differ.
enum Model { Cedar, Dune };

// Command bytes of the handshake.
enum Command : quint8 {
    CommandPoll = 0x00,
    CommandSilence = 0x1B,
    CommandReset = 0x5F,
    CommandSetTime = 0xA3,
    CommandDeviceState = 0x0F,
};

const quint8 DataPhase = 0x0F;   // server, under space parity, after the echo
const quint8 Accepted = 0x1F;    // server: report taken
const quint8 SendAgain = 0xFF;   // server: report rejected, send it again
const quint8 Terminator = 0xBB;
const quint8 RecordCommand = 0x18;
const int RecordReplySize = 15;
const int ReadValueReplySize = 7;

// (v / 10) * 16 + v % 10 in 8 bits, and back (a nibble above 9 counts as it is).
quint8 bcd(int v);
int fromBcd(quint8 b);

// Sum of the bytes first..last modulo 256; 0 when first > last.
quint8 sumBytes(const QByteArray &bytes, int first, int last);
// Whether a controller type code is one whose report checksums are accepted.
bool acceptsChecksum(int typeCode);
// The panel's checksum: sumBytes, with 0xBB sent as 0xB5 so that it never
// looks like the terminator.
quint8 panelSum(const QByteArray &bytes, int first, int last);
// Checks a received checksum; false for every type code that does not accept them.
bool checkSumBB(int typeCode, const QByteArray &bytes, int first, int last, quint8 expected);

// Four bytes as lower-case hexadecimal pairs, a nibble 0xA shown as "*".
QString deviceCode(const QByteArray &bytes, int first);

// --- server frames ---
QByteArray handshakeFrame(int id, quint8 command);
// id, 0x18, thousands and hundreds digits of the counter as nibbles, BCD(counter mod 100).
QByteArray recordRequest(int id, int counter);
// Type code 200 sends the seconds; the others a century byte 0x20 and no seconds.
QByteArray setTimeBlock(const QDateTime &when, bool withSeconds);
QByteArray deviceStateBlock(quint8 action, const QByteArray &address);
// Client codes 0x90..0x93 (low byte) to the action byte; other values unchanged.
quint8 deviceAction(int type);
QByteArray readValueRequest(int id, int switchValue, quint8 loop, quint8 channel);
// 00 00 BB or 00 FF BB.
bool setTimeReplyOk(const QByteArray &reply);
bool deviceStateReplyOk(const QByteArray &reply);

// --- panel frames ---
enum Header {
    HeaderIdle,       // F0 F0
    HeaderReset,      // 0A|FA AA
    HeaderSilenced,   // 0A|FA AB
    HeaderStatus,     // CB|FB CB
    HeaderAnalog,     // F9|E9 99 (Cedar only)
    HeaderCleared,    // FD|ED DD
    HeaderRaised,     // FE|EE EE
    HeaderUnknown,
};
Header headerOf(quint8 h0, quint8 h1, Model model);
// Bytes that follow the two header bytes.
int bytesAfterHeader(Header header, Model model);

// A report: the two header bytes and what follows them.
struct Report {
    enum Status { Complete, Incomplete, Invalid };
    Status status = Incomplete;
    int consumed = 0;          // bytes of the report (0 while incomplete)
    Header header = HeaderUnknown;
    QString error;             // why it is invalid
    // Addressed frames (analog, cleared, raised):
    QString strCode;
    int devType = 0;           // address byte 3 read as BCD
    quint8 state = 0;          // status frames: s; cleared/raised: byte 4
    // Analog frames:
    int value = 0;
    int eventCode = 0;         // 6303 or 6304
};
// Decodes the report at the start of bytes. The checksum and terminator of
// addressed frames are checked (checkSumBB with typeCode); a failed check is
// Invalid, answered with SendAgain.
Report decodeReport(const QByteArray &bytes, Model model, int typeCode);

// The stored record in a 15-byte reply to a record request.
struct Record {
    QString strCode;           // bytes 8..11
    int devType = 0;           // byte 11 read as BCD
};
Record decodeRecord(const QByteArray &reply);

// Value of a read-value reply (bytes 3 and 4); 0 without a whole reply.
int readValueOf(const QByteArray &reply);

// --- event tables ---
// The three events of a Cedar status byte s, from bits 6, 5 and 7 in this order.
QList<int> cedarStatusCodes(quint8 s);
int cedarClearedCode(quint8 state, const QString &strCode, int devType, int typeCode);
int cedarRaisedCode(quint8 state, const QString &strCode);
int duneClearedCode(quint8 state, int devType);
int duneRaisedCode(quint8 state);

} // namespace CedarFrames
