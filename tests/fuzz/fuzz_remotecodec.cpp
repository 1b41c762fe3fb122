// The query service's stream: length-prefixed frames cut from the bytes
// received so far, each payload read as a query request. The first byte
// picks the payload cap.

#include "fuzzsupport.h"

#include "remote/remotecodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const quint32 cap = 1u << (data[0] % 32);
    QByteArray stream = Fuzz::bytes(data + 1, size - 1);
    for (;;) {
        const RemoteCodec::FrameResult f = RemoteCodec::decodeFrame(stream, cap);
        if (f.status != RemoteCodec::FrameResult::Complete) {
            FUZZ_CHECK(f.consumed == 0);
            FUZZ_CHECK(f.status == RemoteCodec::FrameResult::Incomplete || f.length > cap);
            break;
        }
        FUZZ_CHECK(f.consumed == RemoteCodec::HeaderSize + f.payload.size() && f.consumed <= stream.size());
        FUZZ_CHECK(RemoteCodec::encodeFrame(f.payload) == stream.left(f.consumed));
        const RemoteCodec::Request q = RemoteCodec::decodeRequest(f.payload);
        if (q.valid) {
            const RemoteCodec::Request again = RemoteCodec::decodeRequest(
                RemoteCodec::encodeRequest(QString::number(q.code), q.startDate, q.endDate));
            FUZZ_CHECK(again.valid && again.code == q.code);
        }
        stream.remove(0, f.consumed);
    }
    const RemoteCodec::Request whole = RemoteCodec::decodeRequest(Fuzz::bytes(data, size));
    FUZZ_CHECK(whole.valid || (whole.code == 0 && whole.startDate.isEmpty()));
    return 0;
}
