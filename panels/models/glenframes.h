#pragma once
// The Glen wire format (type codes 31, 32, 231..234, 251..253): the server's
// poll and command frames, the reply header and the decoding of the record
// block into events. Pure code, no I/O: frames are checked byte by byte and
// records decoded on their own, record in, events out.
//
// Every server frame starts with CB BC A0 A0. The panel answers a poll with
// an 8-byte header; when its byte 4 is 0x60, byte 7 bytes of records follow
// (29 bytes for a record of kind 0x1F, else 14), then one closing byte.

#include "core/cevent.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace GlenFrames {

enum : int {
    HeaderSize = 8,
    CommandSize = 19,
    PollSize = 9,
    ShortRecord = 14,
    LongRecord = 29,
};
enum : quint8 {
    BlockFollows = 0x60,   // header byte 4
    LongKind = 0x1F,       // first byte of a 29-byte record
    HeadCommand = 0x20,
    HeadReset = 0x30,
    FnTime = 0xC0,
    FnSilence = 0xC1,
    FnReset = 0xC2,
    FnReadValueSwitch = 0xC9,
};

QByteArray prefix();
quint8 toBcd(int v);        // 0..99 to two BCD digits
int fromBcd(quint8 b);      // high nibble * 10 + low nibble
quint8 byteAt(const QByteArray &bytes, int i); // 0 past the end

// The poll frame; v = 0x11 until a cycle failed, 0x10 afterwards.
QByteArray pollFrame(bool afterFailure);

// 19-byte command frame. Advances counter twice (65535 is followed by 0):
// byte 5 is the high byte of the first new value, byte 6 the low byte of the
// second. number goes out as number / 100 and BCD(number % 100).
QByteArray commandFrame(quint16 &counter, quint8 head, quint8 cls, quint8 function, int number,
                        const QByteArray &data);
QByteArray silenceFrame(quint16 &counter, int id);
QByteArray resetFrame(quint16 &counter, int id);
QByteArray timeFrame(quint16 &counter, int id, const QDateTime &when);
QByteArray readValueSwitchFrame(quint16 &counter, int panel, int loop, int channel, int devType);

// Bytes of records a reply header announces (0: no block).
int blockLength(const QByteArray &header);
// The block cut into records from the front; the last may be short when the
// block ends early.
QList<QByteArray> splitRecords(const QByteArray &block);

// Event code of a record kind from the fixed table; 0 for kinds it lacks.
int kindCode(int kind);
// Byte 1 in hex without a leading zero, bytes 2..6 as two lower-case hex
// digits each, "a" shown as "*".
QString codeText(const QByteArray &record);
// "20yy-MM-dd hh:mm:ss" from the BCD bytes 8..13, or now (as text) when the
// year is above 99, the hour above 23, the minute or second above 59, or a
// byte is missing.
QString recordTime(const QByteArray &record, const QDateTime &now);

// The events one record stands for (none for a kind without a code).
QList<CEvent> decodeRecord(const QByteArray &record, int controllerId, int controllerType,
                           const QDateTime &now);

} // namespace GlenFrames
