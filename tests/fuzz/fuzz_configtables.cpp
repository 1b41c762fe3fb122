// "EventConfig.xml" or "SysSet.xml" as the loader reads them; the first
// byte picks which table the rest is loaded as.

#include "fuzzsupport.h"

#include "config/configtables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray xml = Fuzz::bytes(data + 1, size - 1);
    ConfigTables &tables = ConfigTables::instance();
    if (data[0] & 1) {
        if (!tables.loadSystemTypesFrom(xml, QStringLiteral("fuzz")))
            FUZZ_CHECK(tables.systemTypes().isEmpty());
        for (auto it = tables.systemTypes().cbegin(); it != tables.systemTypes().cend(); ++it)
            FUZZ_CHECK(it.key() == it.value().typeCode);
        return 0;
    }
    if (!tables.loadEventTableFrom(xml, QStringLiteral("fuzz")))
        FUZZ_CHECK(tables.events().isEmpty() && tables.eventClasses().isEmpty());
    for (auto it = tables.events().cbegin(); it != tables.events().cend(); ++it)
        FUZZ_CHECK(it.key() == it.value().code);
    return 0;
}
