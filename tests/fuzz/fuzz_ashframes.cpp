// Ash report and status bodies (the bytes after the length byte).

#include "fuzzsupport.h"

#include "panels/models/ashframes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = Fuzz::bytes(data, size);
    const BirchFrames::Report r = AshFrames::decodeReport(body);
    // Byte 6 is written as at least two decimal digits.
    FUZZ_CHECK(!r.hasAddress || r.strCode.size() == 8 || r.strCode.size() == 9);
    // The latch carries over between status frames as in the driver.
    static AshFrames::StatusLatch latch;
    const QList<AshFrames::StatusEvent> events = AshFrames::decodeStatus(body, BirchFrames::byteAt(body, 0), latch);
    FUZZ_CHECK(events.size() == 3 || events.size() == 4);
    return 0;
}
