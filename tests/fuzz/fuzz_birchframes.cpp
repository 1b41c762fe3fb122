// Birch report bodies (the bytes after the length byte) and command replies.

#include "fuzzsupport.h"

#include "panels/models/birchframes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = Fuzz::bytes(data, size);
    const BirchFrames::Report r = BirchFrames::decodeBirchReport(body);
    FUZZ_CHECK(r.hasAddress || r.strCode.isEmpty() || r.record == BirchFrames::Report::PanelReset);
    FUZZ_CHECK(!r.hasAddress || r.strCode.size() >= 8);
    BirchFrames::birchFireCode(body);
    BirchFrames::longReplyOk(BirchFrames::byteAt(body, 0), body.mid(1));
    return 0;
}
