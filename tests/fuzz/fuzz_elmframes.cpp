// The 0x7E record format: the Juniper serial stream framed by scanRecord
// (fed in pieces, with the line going quiet at the end) and every record
// decoded as Juniper and as an Elm datagram.

#include "fuzzsupport.h"

#include "panels/models/elmframes.h"

using namespace ElmFrames;

namespace {
void decodeRecord(const QByteArray &record)
{
    const QDateTime now = Fuzz::now();
    // Elm: one datagram is one record; the driver decodes it when its CRC is right.
    if (crcOk(record)) {
        const QByteArray body = record.left(record.size() - 2);
        const CEvent e = decodeElmReport(body, elmClass(reportKind(body)), now);
        FUZZ_CHECK(!e.strTime.isEmpty());
        const CEvent j = decodeJuniperRecord(body, now);
        FUZZ_CHECK(!j.strTime.isEmpty());
    }
    for (int cls = 0; cls < 4; ++cls)
        decodeElmReport(record, cls, now);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input = Fuzz::bytes(data + 1, size - 1);
    decodeRecord(input);

    Fuzz::Chunks chunks(data[0], 128);
    QByteArray stream;
    int fed = 0;
    while (fed < input.size() || !stream.isEmpty()) {
        const bool atEnd = fed >= input.size();
        if (!atEnd) {
            const int n = qMin(chunks.next(), input.size() - fed);
            stream.append(input.constData() + fed, n);
            fed += n;
        }
        for (;;) {
            const Scan s = scanRecord(stream, atEnd);
            if (s.status == Scan::Incomplete) {
                FUZZ_CHECK(s.consumed == 0);
                // Nothing kept past the longest record: the buffer stays bounded.
                FUZZ_CHECK(stream.size() < kMaxRecord);
                // Once the line is quiet every byte must be decided.
                FUZZ_CHECK(!atEnd || stream.isEmpty());
                break;
            }
            FUZZ_CHECK(s.consumed > 0 && s.consumed <= stream.size());
            const QByteArray part = stream.left(s.consumed);
            stream.remove(0, s.consumed);
            if (s.status == Scan::Complete) {
                FUZZ_CHECK(part.size() >= kMinRecord && crcOk(part) && quint8(part.at(0)) == 0x7E);
                decodeRecord(part);
            }
            if (stream.isEmpty())
                break;
        }
    }
    return 0;
}
