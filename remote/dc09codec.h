#pragma once
// SIA DC-09 frames apart from any socket: LF, CRC-16/ARC and length of the
// body, the body from the quoted id to the timestamp, CR. Messages to an
// alarm receiving centre carry SIA DCS or Contact ID data, the centre's
// answers ACK, NAK or DUH. With a key the part after "[" travels AES-CBC
// encrypted as uppercase hex. Pure code: bytes in, a message and how many
// bytes it took out; a message in, one frame out.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

namespace Dc09 {

// A body longer than this is refused before anything is kept; a real
// message is under 200 bytes.
constexpr int MaxBody = 1024;

// CRC-16/ARC: poly 0x8005 reflected, init 0, no final xor.
quint16 crc16(const QByteArray &bytes);

// An AES-128/192/256 key; empty: messages are plain.
struct Key
{
    QByteArray bytes;
    bool isSet() const { return !bytes.isEmpty(); }
    // format "hex" (32, 48 or 64 hex digits) or "text" (16, 24 or 32
    // characters, taken as they are). False with *error set otherwise.
    static bool parse(const QString &text, const QString &format, Key *key, QString *error);
};

struct Message
{
    QByteArray id;            // SIA-DCS, ADM-CID, NULL, ACK, NAK, DUH (without the "*")
    bool encrypted = false;   // "*" before the id; the part after "[" is AES-CBC hex
    int seq = 0;              // 0..9999
    QByteArray receiver;      // hex after "R"; empty: no receiver field
    QByteArray line = "0";    // hex after "L"
    char accountPrefix = '#'; // '#' before the account (a NAK writes "A0")
    QByteArray account;
    QByteArray data;          // between "[" and "]", e.g. "#1234|Nri1/FA015"
    QByteArray extended;      // further "[...]" blocks after the data, brackets included
    QDateTime timestamp;      // UTC; invalid: none sent

    bool operator==(const Message &o) const;
};

// The pad of an encrypted body: 1 to 16 bytes, none of "|", "[", "]".
// Tests fix it; the default draws it from OpenSSL's generator.
using PadSource = std::function<QByteArray(int length)>;
QByteArray randomPad(int length);

// The whole frame, LF to CR. An encrypted message needs a key (an empty
// result otherwise, and for a body past MaxBody).
QByteArray encode(const Message &m, const Key &key = Key(), const PadSource &pad = randomPad);

enum class Status { Complete, Incomplete, Invalid };
struct Decoded
{
    Status status = Status::Incomplete;
    Message message;          // Complete only
    int consumed = 0;         // bytes to drop from the front: a frame, or garbage up to the next LF
    QString error;            // Invalid only: what was wrong, for one log line
};
// The first frame of bytes. Invalid frames are consumed whole (or up to the
// next LF when the framing itself is broken) so that the caller can go on.
// An encrypted body needs the key to be read.
Decoded decode(const QByteArray &bytes, const Key &key = Key());

// "_HH:MM:SS,MM-DD-YYYY" without the "_"; invalid QDateTime when it is not one.
QDateTime parseTimestamp(const QByteArray &text);
QByteArray formatTimestamp(const QDateTime &utc);

} // namespace Dc09
