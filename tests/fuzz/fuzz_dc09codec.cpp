// DC-09 frames cut from the bytes a receiver or a transmitter has so far.
// The first byte picks the key: none, or the AES-128 text key of the
// published example, so encrypted bodies are reached too.

#include "fuzzsupport.h"

#include "remote/dc09codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    Dc09::Key key;
    if (data[0] & 1)
        key.bytes = "AAAAAAAAAAAAAAAA";
    QByteArray stream = Fuzz::bytes(data + 1, size - 1);
    const auto fixedPad = [](int n) { return QByteArray(n, '0'); };
    while (!stream.isEmpty()) {
        const Dc09::Decoded d = Dc09::decode(stream, key);
        if (d.status == Dc09::Status::Incomplete) {
            FUZZ_CHECK(d.consumed == 0);
            break;
        }
        FUZZ_CHECK(d.consumed > 0 && d.consumed <= stream.size());
        if (d.status == Dc09::Status::Complete) {
            // Whatever was read is written again as a frame that reads back the same.
            const QByteArray again = Dc09::encode(d.message, key, fixedPad);
            if (!again.isEmpty()) {
                const Dc09::Decoded back = Dc09::decode(again, key);
                FUZZ_CHECK(back.status == Dc09::Status::Complete && back.consumed == again.size());
                FUZZ_CHECK(back.message == d.message);
            }
        } else {
            FUZZ_CHECK(!d.error.isEmpty());
        }
        stream.remove(0, d.consumed);
    }
    return 0;
}
