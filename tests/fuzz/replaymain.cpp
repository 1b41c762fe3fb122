// Runs a fuzz target over files and folders of inputs once, without
// libFuzzer: the seed corpus as a regression test of the normal build.

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#if defined(__SANITIZE_ADDRESS__)
// Leaks inside Qt's JSON parser are suppressed in scripts/sanitizers/lsan.supp
// by a frame deep inside Qt. Qt is built without frame pointers, so only the
// slow unwinder records that frame; the corpora are small, the cost is nil.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif

namespace {
bool runFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray bytes = f.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    return true;
}
}

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int runs = 0;
    bool ok = argc > 1;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(arg).isDir()) {
            QDirIterator it(arg, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                ok = runFile(it.next()) && ok;
                ++runs;
            }
        } else {
            ok = runFile(arg) && ok;
            ++runs;
        }
    }
    std::printf("%d inputs run\n", runs);
    return ok && runs > 0 ? 0 : 1;
}
