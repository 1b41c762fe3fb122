// "EventConfig.xml" and "SysSet.xml" as the loader reads them: the input
// is written to a file in a temporary folder and loaded as both tables.

#include "fuzzsupport.h"

#include "config/configtables.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("tables.xml"));
    {
        QFile f(path);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(f.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    }
    ConfigTables &tables = ConfigTables::instance();
    if (!tables.loadEventTable(path))
        FUZZ_CHECK(tables.events().isEmpty() && tables.eventClasses().isEmpty());
    for (auto it = tables.events().cbegin(); it != tables.events().cend(); ++it)
        FUZZ_CHECK(it.key() == it.value().code);
    if (!tables.loadSystemTypes(path))
        FUZZ_CHECK(tables.systemTypes().isEmpty());
    tables.appName(path);
    return 0;
}
