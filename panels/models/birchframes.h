#pragma once
// The wire format shared by the Birch and Ash panel family: address forms,
// server frames (poll, record request, command, device state) and the
// decoding of report bodies into event fields. Pure code, no I/O, so every
// frame can be checked byte by byte.

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace BirchFrames {

// Frame kinds at body index 1.
enum Kind : quint8 { KindReport = 0xAA, KindStatus = 0xB1, KindEnd = 0xFF };

// (v / 10) * 16 + v % 10 in 8 bits.
quint8 bcd(int v);
// The byte at index i, or 0 past the end.
quint8 byteAt(const QByteArray &bytes, int i);
quint8 sum8(const QByteArray &bytes, int first, int last);

inline quint8 pollByte(int id) { return quint8(bcd(id) + 0x30); }
inline quint8 recordAddress(int id) { return quint8(bcd(id) + 0x20); }
// Panel: nothing to report / command accepted. Server: report acknowledged.
inline quint8 idleByte(int id) { return quint8(id + 0x50); }
inline quint8 statusAck(int id) { return quint8(bcd(id) + 0x50); }

QByteArray recordRequest(int id, int counter);
// 10-byte command frame; data: four bytes.
QByteArray commandFrame(int id, quint8 seq, quint8 command, const QByteArray &data);
QByteArray silenceFrame(int id, quint8 seq);
QByteArray resetFrame(int id, quint8 seq);
QByteArray setTimeFrame(int id, quint8 seq, const QDateTime &when);
// 11-byte device-state frame; address: four bytes.
QByteArray deviceStateFrame(int id, quint8 seq, quint8 action, const QByteArray &address);
// Client codes 0x90..0x93 (low byte) to the panel's action byte; 0 if none.
quint8 deviceAction(int type);
// Birch reads the address from strCode positions 3..10 as decimal pairs, sent as BCD.
QByteArray birchDeviceAddress(const QString &strCode);
// Ash reads positions 0..7, each pair of digits packed as two nibbles.
QByteArray ashDeviceAddress(const QString &strCode);
// Whether code is exactly length decimal digits: what a model that refuses
// wildcards and other non-digits needs before it builds an address.
bool isDeviceDigits(const QString &code, int length);

// Command reply: the idle byte, or id followed by r0..r4 with
// r4 = sum8(id, r0..r3).
bool longReplyOk(int id, const QByteArray &five);

// What a 0xAA report body means; the driver applies the record bookkeeping.
struct Report {
    enum Record { NoRecord, EmptyRecord, StoredRecord, EndOfRecords, PanelReset };
    int eventCode = 0;          // 0: no event
    QString strCode;
    QString strEndCode;
    int devType = 0;
    Record record = NoRecord;
    bool hasAddress = false;    // false: a failed acknowledgement fails the cycle
};

// The record bookkeeping both models share: which stored record to ask for
// next (counter) and whether the reading is over (done: plain polls only). A
// panel reset only rewinds the counter; each model decides when the reading
// starts again.
void applyRecord(Report::Record record, bool &done, int &counter);

// Birch decoding of a report body (body[0] after the length byte).
Report decodeBirchReport(const QByteArray &body);
// The 0x15 device-type ranges of Birch.
int birchFireCode(const QByteArray &body);

} // namespace BirchFrames
