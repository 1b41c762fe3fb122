// An NB-IoT platform message (the body posted to "/postData"), parsed as
// the server parses it, to an event.

#include "fuzzsupport.h"

#include "core/safejson.h"
#include "gateways/nbdevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument doc = SafeJson::parse(Fuzz::bytes(data, size));
    if (!doc.isObject())
        return 0;
    CEvent event;
    if (NBDevice::parseMessage(doc.object(), &event))
        FUZZ_CHECK(event.nEventCode == 1 || event.nEventCode == 3 || event.nEventCode == 913);
    return 0;
}
