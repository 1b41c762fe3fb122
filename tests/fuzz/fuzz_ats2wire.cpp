// Marsh datagrams: whatever decodes must encode back to the same bytes.

#include "fuzzsupport.h"

#include "panels/models/ats2wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram = Fuzz::bytes(data, size);
    const Ats2Wire::Decoded d = Ats2Wire::decode(datagram);
    if (d.status != Ats2Wire::Complete) {
        FUZZ_CHECK(!d.error.isEmpty());
        return 0;
    }
    const SATSPacket &p = d.packet;
    FUZZ_CHECK(Ats2Wire::encode(p.nKind, p.nPanelId, p.nSequence, p.record) == datagram);
    return 0;
}
