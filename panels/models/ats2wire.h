#pragma once
// The records the Marsh panel library exchanges and their datagram codec:
// pure code, no sockets. The protocol itself is described in ats2panel.h.

#include <QByteArray>
#include <QMetaType>
#include <QString>

// One command to the panel or one report from it. Members by their place in
// the record as the driver knows it: byte 0, byte 1, bytes 4..7, bytes 8..9
// and three texts. Two single bytes of the wider members carry device
// numbers: byte 7 (the high byte of nData) and byte 8 (the low byte of nIndex).
struct SPanel2ATSData
{
    quint8 nCode = 0;      // byte 0: command or report code
    quint8 nByte1 = 0;     // byte 1: two-digit number shared by both device codes
    qint32 nData = 0;      // bytes 4..7
    quint16 nIndex = 0;    // bytes 8..9
    QString strText1 = QStringLiteral("0000000000000000"); // time text of commands
    QString strText2 = QStringLiteral("000000");           // six digits of strEndCode
    QString strText3 = QStringLiteral("000000");           // six digits of strCode

    quint8 byte7() const { return quint8(quint32(nData) >> 24); }
    void setByte7(quint8 b) { nData = qint32((quint32(nData) & 0x00FFFFFFu) | (quint32(b) << 24)); }
    quint8 byte8() const { return quint8(nIndex & 0xFF); }
    void setByte8(quint8 b) { nIndex = quint16((nIndex & 0xFF00) | b); }

    bool operator==(const SPanel2ATSData &o) const
    {
        return nCode == o.nCode && nByte1 == o.nByte1 && nData == o.nData && nIndex == o.nIndex
            && strText1 == o.strText1 && strText2 == o.strText2 && strText3 == o.strText3;
    }
};
Q_DECLARE_METATYPE(SPanel2ATSData)

// One datagram as received.
struct SATSPacket
{
    quint8 nVersion = 0;
    quint8 nKind = 0;       // Ats2Wire::Kind
    quint8 nPanelId = 0;
    quint16 nSequence = 0;
    SPanel2ATSData record;  // kind Record only
};

namespace Ats2Wire {

enum Kind : quint8 { Record = 1, Ack = 2, KeepAlive = 3, KeepAliveAnswer = 4 };
enum : int {
    Version = 1,
    HeaderSize = 7,
    TrailerSize = 2,
    MaxText = 32,
    MaxDatagram = HeaderSize + 8 + 3 * (1 + MaxText) + TrailerSize,
};
// Report codes the library itself produces towards the driver.
enum : quint8 { LinkUpCode = 0x01, LinkLostCode = 0x9A };

enum Status { Complete, Invalid };
struct Decoded
{
    Status status = Invalid;
    SATSPacket packet;
    QString error;          // why it is invalid, for the log
};

// CRC-16/MODBUS (0xFFFF, reflected 0xA001, no final XOR).
quint16 crc16(const QByteArray &bytes);
// Texts must be ASCII of at most MaxText characters; error says which is not.
bool recordFits(const SPanel2ATSData &record, QString *error = nullptr);
// An empty array when the record does not fit.
QByteArray encode(quint8 kind, quint8 panelId, quint16 sequence, const SPanel2ATSData &record = {});
Decoded decode(const QByteArray &datagram);

} // namespace Ats2Wire
