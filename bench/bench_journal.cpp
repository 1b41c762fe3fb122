// The store-and-forward journal on its own, as an outbound service uses it:
// appends of one record each (every append its own commit), then delivery
// in batches (peek the oldest, remove them). Prints operations per second
// and the file size; the cap is the default (100,000 entries, 50 MiB).
//
// Usage: bench_journal [--entries 50000] [--bytes 120] [--batch 1000]
//   (entries at most 1,000,000)

#include "gateways/journal.h"
#include "serverbench.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int entries = qBound(1, ServerBench::argValue(args, "--entries", 50000), 1000000);
    const int size = qBound(1, ServerBench::argValue(args, "--bytes", 120), 1000000);
    const int batch = qBound(1, ServerBench::argValue(args, "--batch", 1000), 100000);
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.db");
    Journal journal;
    if (!journal.open(path))
        return 1;
    const QByteArray payload(size, 'x');

    qint64 t0 = ServerBench::monoNs();
    for (int i = 0; i < entries; ++i)
        journal.append(payload);
    const double appendS = (ServerBench::monoNs() - t0) / 1e9;
    const qint64 fileBytes = QFileInfo(path).size() + QFileInfo(path + "-wal").size();
    const int kept = journal.count();

    t0 = ServerBench::monoNs();
    int delivered = 0;
    while (journal.count() > 0) {
        QList<qint64> ids;
        for (const Journal::Entry &e : journal.peek(batch))
            ids << e.id;
        delivered += journal.remove(ids);
    }
    const double drainS = (ServerBench::monoNs() - t0) / 1e9;

    printf("journal: %d appends of %d bytes in %.2f s (%.0f per second, %.1f us each); %d kept, file %lld bytes\n",
           entries, size, appendS, entries / appendS, appendS * 1e6 / entries, kept, (long long)fileBytes);
    printf("  delivered in batches of %d: %d entries in %.2f s (%.0f per second); %lld dropped to the cap\n", batch,
           delivered, drainS, delivered / drainS, (long long)journal.droppedCount());
    return 0;
}
