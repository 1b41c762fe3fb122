// A client's byte stream cut into objects, fed in pieces as TCP delivers
// it. The first byte picks the pieces and the cap; cutting the stream
// differently must never change which objects come out.

#include "fuzzsupport.h"

#include "clients/jsonsplitter.h"

#include <QStringList>

namespace {
// What the connection sees: each object, and each drop at the cap.
QList<QByteArray> split(const QByteArray &input, int cap, Fuzz::Chunks *chunks)
{
    JsonSplitter splitter(cap);
    QList<QByteArray> out;
    QByteArray buffer;
    int fed = 0;
    while (fed < input.size()) {
        const int n = chunks ? qMin(chunks->next(), input.size() - fed) : input.size();
        buffer.append(input.constData() + fed, n);
        fed += n;
        for (;;) {
            const JsonSplitter::Result r = splitter.next(buffer);
            FUZZ_CHECK(r.consumed >= 0 && r.consumed <= buffer.size());
            if (r.status == JsonSplitter::Complete) {
                FUZZ_CHECK(r.consumed == r.object.size() && r.object.startsWith('{') && r.object.endsWith('}'));
                out.append(r.object);
            } else if (r.status == JsonSplitter::Invalid) {
                FUZZ_CHECK(r.consumed >= cap);
                out.append(QByteArray("<dropped ") + QByteArray::number(r.consumed) + '>');
            }
            buffer.remove(0, r.consumed);
            if (r.status == JsonSplitter::Incomplete && r.consumed == 0)
                break;
        }
        // An unfinished object is kept only up to the cap.
        FUZZ_CHECK(buffer.size() <= cap);
    }
    return out;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input = Fuzz::bytes(data + 1, size - 1);
    const int cap = 16 + (data[0] & 0x0F) * 64;
    Fuzz::Chunks chunks(data[0], 48);
    FUZZ_CHECK(split(input, cap, &chunks) == split(input, cap, nullptr));
    return 0;
}
