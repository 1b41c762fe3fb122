// A Modbus converter's datagrams cut into messages as the receiver does,
// each message converted to an event. The first byte picks the datagram
// sizes and the cap.

#include "fuzzsupport.h"

#include "gateways/cmodbusdevice.h"
#include "gateways/modbusstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input = Fuzz::bytes(data + 1, size - 1);
    const int cap = 8 + (data[0] & 0x0F) * 32;
    Fuzz::Chunks chunks(data[0], 96);
    QByteArray buffer;
    int fed = 0;
    while (fed < input.size()) {
        const int n = qMin(chunks.next(), input.size() - fed);
        buffer.append(input.constData() + fed, n);
        fed += n;
        for (;;) {
            const ModbusStream::Result r = ModbusStream::next(buffer, cap);
            FUZZ_CHECK(r.consumed >= 0 && r.consumed <= buffer.size());
            buffer.remove(0, r.consumed);
            if (r.status == ModbusStream::Complete) {
                FUZZ_CHECK(r.message.startsWith('{') && r.message.endsWith('}')
                           && r.message.indexOf('}') == r.message.size() - 1);
                CEvent event;
                QString why;
                if (!CModbusDevice::convert(r.message, &event, &why))
                    FUZZ_CHECK(!why.isEmpty());
                continue;
            }
            break;
        }
        // What stays is one open message no longer than the cap.
        FUZZ_CHECK(buffer.isEmpty() || (buffer.startsWith('{') && buffer.size() <= cap + 1));
    }
    return 0;
}
