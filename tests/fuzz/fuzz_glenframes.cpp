// A Glen reply: the 8-byte header, then the record block it announces, cut
// into records and decoded. The first byte picks the controller type.

#include "fuzzsupport.h"

#include "panels/models/glenframes.h"

using namespace GlenFrames;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int types[] = {31, 32, 231, 232, 233, 234, 251, 252, 253};
    const int type = types[data[0] % 9];
    const int id = data[0] >> 4;
    const QByteArray reply = Fuzz::bytes(data + 1, size - 1);

    const int length = blockLength(reply.left(HeaderSize));
    FUZZ_CHECK(length >= 0 && length <= 255);
    // With no block announced the rest is still read as one, so that the
    // record decoders see every input.
    const QByteArray block = length > 0 ? reply.mid(HeaderSize, length) : reply;
    const QList<QByteArray> records = splitRecords(block);
    int total = 0;
    for (const QByteArray &record : records) {
        FUZZ_CHECK(!record.isEmpty() && record.size() <= LongRecord);
        total += record.size();
        for (const CEvent &e : decodeRecord(record, id, type, Fuzz::now()))
            FUZZ_CHECK(e.nEventCode != 0 && !e.strTime.isEmpty());
    }
    FUZZ_CHECK(total == block.size());
    return 0;
}
