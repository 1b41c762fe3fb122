#pragma once
// The 0x7E record format shared by the Elm (UDP) and Juniper (serial)
// panels: the CRC, the frames the server sends, the report decoders and the
// framing of a serial byte stream into records. Pure code, no I/O.
//
// Every record: 7E 01 b2 b2 function code 00 number, payload, then the
// CRC-16/MODBUS of all bytes before it, its high byte first.

#include "core/cevent.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

namespace ElmFrames {

// Acknowledgement kinds of the Elm panel: 0x42 answers a kind-1 report,
// 0x4D everything else.
enum AckKind : quint8 { AckPlain = 0x4D, AckKindOne = 0x42 };

const int kHeaderSize = 8;
const int kMinRecord = kHeaderSize + 2;
// No panel record comes near this; a longer run without a valid CRC is noise.
const int kMaxRecord = 256;

// CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001, no final XOR)
// over length bytes, returned with its two bytes exchanged: the digits
// 123456789 give 0x374B; length 0 gives 0xFFFF.
quint16 crc16Modbus(const char *data, int length);
inline quint16 crc16Modbus(const QByteArray &bytes) { return crc16Modbus(bytes.constData(), bytes.size()); }
// The frame with its CRC appended, the CRC's high byte first ("abc" gets 57 49).
QByteArray appendCrc(QByteArray frame);
// The last two bytes are the CRC of the rest.
bool crcOk(const QByteArray &record);

// The byte at index i, 0 past the end.
inline quint8 byteAt(const QByteArray &b, int i) { return i >= 0 && i < b.size() ? quint8(b.at(i)) : 0; }
// The report kind: byte 5, 0 when the record is shorter.
inline quint8 reportKind(const QByteArray &b) { return b.size() >= 6 ? quint8(b.at(5)) : 0; }

// --- frames the server sends (CRC included) ---
// Elm command: 0x89 silence, 0x94 reset, 0x97.
QByteArray commandFrame(quint8 code, quint8 id);
QByteArray ackFrame(quint8 kind, quint8 id);
// Carries the server's IPv4 address so the panel knows where to report.
QByteArray connectFrame(const QHostAddress &server);
QByteArray timeFrame(const QDateTime &when, quint8 id);
// type: the client code 0x90..0x93; an empty strEndCode repeats strCode.
QByteArray deviceStateFrame(int type, const QString &strCode, const QString &strEndCode);
// Juniper: the answer to every record, carrying the server's time; the
// set-time form (byte 4 = 0x08, one more byte) makes the panel take it.
QByteArray juniperAnswer(const QDateTime &when, bool setTime);
// Juniper silence: a fixed frame without CRC.
QByteArray juniperSilenceFrame();

// Where the Elm connect frame goes: 127.255.255.255 for a loopback server
// address, else the broadcast address of the interface entry that carries
// it (computed from its netmask when the entry has none); null when no
// entry carries it.
QHostAddress connectDestination(const QHostAddress &server, const QList<QNetworkAddressEntry> &entries);

// --- decoding (records without their CRC; absent bytes read as 0) ---
// Elm report classes 0..3 by kind (kind 0 and 14..17 never reach a decoder).
int elmClass(quint8 kind);
// "20yy-MM-dd hh:mm:ss" from six plain-number bytes at first; empty when
// the record ends before them.
QString panelTime(const QByteArray &record, int first);
// The fields an Elm report of a class carries; time is the server's when the
// class (or a short record) carries none.
CEvent decodeElmReport(const QByteArray &record, int cls, const QDateTime &now);
// Juniper groups: device events (kinds 2..9, 0x21..0x26 but 0x25), panel
// events (10..18, 37, 40, 41, 111..119), and any other kind (server time,
// panel number from byte 7).
bool isJuniperDeviceKind(quint8 kind);
bool isJuniperPanelKind(quint8 kind);
CEvent decodeJuniperRecord(const QByteArray &record, const QDateTime &now);

// --- framing a serial stream ---
struct Scan
{
    enum Status { Complete, Incomplete, Invalid };
    Status status = Incomplete;
    int consumed = 0;   // Complete: the record's length; Invalid: bytes to drop
};
// Finds the record at the front of buf. A record ends where its CRC
// matches, followed by the end of the bytes or the next 0x7E; bytes before a
// 0x7E, and a start whose CRC never matches while a later record does, are
// Invalid. atEnd: no more bytes are coming soon (the line went quiet), so a
// CRC match at any point ends the record and what never matches is Invalid.
Scan scanRecord(const QByteArray &buf, bool atEnd = false);

} // namespace ElmFrames
