// One Modbus message, any JSON at all, to an event.

#include "fuzzsupport.h"

#include "gateways/cmodbusdevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CEvent event;
    QString why;
    if (CModbusDevice::convert(Fuzz::bytes(data, size), &event, &why))
        FUZZ_CHECK(event.strCode.size() > 10 && event.nAddress >= 0 && event.nAddress <= 999);
    else
        FUZZ_CHECK(!why.isEmpty());
    return 0;
}
