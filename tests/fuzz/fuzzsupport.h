#pragma once
// What every fuzz target shares: quiet logging, a hard stop when a decoder
// breaks its promise (status, bytes consumed), and chunk sizes for feeding
// a stream in pieces as a socket or serial port would.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

// The decoders log every bad input; at thousands of inputs a second that is
// most of the cost. FIRE_FUZZ_LOG=1 shows the lines when reproducing a
// crash; fatal messages (failed Q_ASSERTs) always show.
inline void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

[[noreturn]] inline void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, what);
    std::abort();
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A fixed clock: the same input decodes the same way every run.
inline QDateTime now()
{
    return QDateTime(QDate(2024, 12, 5), QTime(21, 45, 10));
}

// Chunk sizes 1..max drawn from a seed byte, so that the fuzzer also
// explores where a stream is cut and an input always is cut the same way.
class Chunks
{
public:
    Chunks(quint8 seed, int max) : m_state(seed * 2654435761u + 1u), m_max(quint32(qMax(max, 1))) {}
    int next()
    {
        m_state = m_state * 1103515245u + 12345u;
        return 1 + int((m_state >> 16) % m_max);
    }

private:
    quint32 m_state;
    quint32 m_max;
};

} // namespace Fuzz

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            Fuzz::fail(#cond, __FILE__, __LINE__);                                                           \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (qEnvironmentVariableIntValue("FIRE_FUZZ_LOG") != 1)
        qInstallMessageHandler(Fuzz::quietHandler);
    return 0;
}
