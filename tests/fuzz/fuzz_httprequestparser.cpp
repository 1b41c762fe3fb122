// Requests on one connection, fed in pieces, several in a row (pipelined)
// until one is refused. The first byte picks the pieces; cutting the
// stream differently must never change the requests parsed.

#include "fuzzsupport.h"

#include "http/httprequestparser.h"

#include <QStringList>

namespace {
// Small limits so that short inputs reach them too.
constexpr int MaxRequestSize = 1024;
constexpr int MaxMultiPartSize = 2048;

QByteArray describe(const HttpRequest &r)
{
    QByteArray d = r.method() + ' ' + r.rawPath() + ' ' + r.path() + ' ' + r.version() + '\n';
    for (auto it = r.headerMap().cbegin(); it != r.headerMap().cend(); ++it)
        d += "h " + it.key() + '=' + it.value() + '\n';
    for (auto it = r.parameterMap().cbegin(); it != r.parameterMap().cend(); ++it)
        d += "p " + it.key() + '=' + it.value() + '\n';
    for (auto it = r.cookieMap().cbegin(); it != r.cookieMap().cend(); ++it)
        d += "c " + it.key() + '=' + it.value() + '\n';
    return d + "body " + r.body();
}

QList<QByteArray> parse(const QByteArray &input, Fuzz::Chunks *chunks)
{
    QList<QByteArray> out;
    QScopedPointer<HttpRequestParser> parser(new HttpRequestParser(MaxRequestSize, MaxMultiPartSize));
    QByteArray pending;
    int fed = 0;
    while (fed < input.size() || !pending.isEmpty()) {
        if (pending.isEmpty()) {
            const int n = chunks ? qMin(chunks->next(), input.size() - fed) : input.size();
            pending = input.mid(fed, n);
            fed += n;
        }
        const HttpRequestParser::Result r = parser->feed(pending);
        FUZZ_CHECK(r.consumed >= 0 && r.consumed <= pending.size());
        pending.remove(0, int(r.consumed));
        if (r.status == HttpRequestParser::Invalid) {
            out.append("refused");
            return out;
        }
        if (r.status == HttpRequestParser::Complete) {
            out.append(describe(parser->request()));
            parser.reset(new HttpRequestParser(MaxRequestSize, MaxMultiPartSize));
        } else {
            // Incomplete takes everything it was given.
            FUZZ_CHECK(pending.isEmpty());
        }
    }
    return out;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray input = Fuzz::bytes(data + 1, size - 1);
    Fuzz::Chunks chunks(data[0], 32);
    FUZZ_CHECK(parse(input, &chunks) == parse(input, nullptr));
    return 0;
}
