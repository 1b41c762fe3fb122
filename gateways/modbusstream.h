#pragma once
// Cuts the byte stream of a Modbus converter into its JSON messages. The
// converter sends flat objects, one per pair of braces, in datagrams that
// may split or join them, with anything at all between them. Pure code: no
// sockets.

#include <QByteArray>

namespace ModbusStream {

enum Status {
    Complete,   // message holds "{...}" up to the first "}"; consumed includes it and what preceded it
    Incomplete, // no whole message yet; the consumed bytes (before any "{") may go
    Invalid     // an open message passed the cap; all consumed bytes are dropped
};

struct Result
{
    Status status = Incomplete;
    int consumed = 0;
    QByteArray message;
};

// A converter's message is a few dozen bytes; an object left open this long
// is noise, not a message.
constexpr int DefaultCap = 64 * 1024;

// data is the unconsumed buffer; the caller removes result.consumed bytes
// from its front before asking again. Bytes before the first "{" are never
// part of a message, so they are consumed at once rather than kept (they
// would be dropped anyway as soon as a "{" arrived). The first "}" after the
// "{" ends the message: messages have no nested objects.
Result next(const QByteArray &data, int cap = DefaultCap);

} // namespace ModbusStream
