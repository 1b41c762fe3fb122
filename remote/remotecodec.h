#pragma once
// The wire formats of the monitoring-centre services (transmission on 2009,
// history queries on 2000) as pure code: the length-prefixed frame, the
// event line a centre receives, the query request and the query's reply
// lines. The socket code around them only moves bytes.

#include "core/cevent.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace RemoteCodec {

// Frame: a 4-byte unsigned little-endian payload length, then the payload.
constexpr int HeaderSize = 4;
QByteArray encodeFrame(const QByteArray &payload);
// The 4-byte little-endian size field (also what precedes a document's bytes).
QByteArray sizeField(quint32 size);
// The one-byte heartbeat "a" as a frame.
QByteArray heartbeatFrame();

struct FrameResult
{
    enum Status {
        Complete,   // payload holds the frame's payload; consumed covers header and payload
        Incomplete, // more bytes are needed; nothing consumed
        Invalid     // the length field exceeds the cap; the stream cannot be trusted
    };
    Status status = Incomplete;
    int consumed = 0;
    quint32 length = 0; // the length field, once the header is there
    QByteArray payload;
};
// The first frame of the bytes received so far; a length above maxPayload
// is Invalid before any payload byte is waited for.
FrameResult decodeFrame(const QByteArray &data, quint32 maxPayload);

// System name of a panel type as the centre knows it.
QString systemName(int nPanelType);
// The line of one event; eventName is the event table's name of its code,
// timeText the moment the line is formed, address the server's own.
QString eventLine(const CEvent &e, const QString &eventName, const QString &timeText, const QString &address);

struct Request
{
    bool valid = false; // three fields or more
    int code = 0;
    QString startDate;
    QString endDate;
};
// The query payload: text up to the first zero byte, fields separated by
// "||" (empty fields kept); a code that is not a number reads as 0.
Request decodeRequest(const QByteArray &payload);
QByteArray encodeRequest(const QString &code, const QString &startDate, const QString &endDate);

QString documentLine(const QString &address, const QString &name, const QString &timeText);
QString logLine(const QString &address, const QString &action, const QString &content, const QString &atime);

} // namespace RemoteCodec
