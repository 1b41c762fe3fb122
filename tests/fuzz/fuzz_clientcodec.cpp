// A client's object through the codec: the request it stands for, and that
// request written and read back again, plus the log's password masking of
// the raw bytes.

#include "fuzzsupport.h"

#include "clients/clientcodec.h"
#include "core/safejson.h"

using ClientCodec::Request;

namespace {
bool sameUser(const UserInfo &a, const UserInfo &b)
{
    return a.userName == b.userName && a.password == b.password && a.nNumber == b.nNumber
        && a.server == b.server && a.strText == b.strText;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = Fuzz::bytes(data, size);
    const QByteArray masked = ClientCodec::redactPasswords(raw);
    FUZZ_CHECK(!masked.isNull() || raw.isEmpty());

    const QJsonDocument doc = SafeJson::parse(raw);
    if (!doc.isObject())
        return 0;
    const QJsonObject obj = doc.object();
    const Request r = ClientCodec::decodeRequest(obj);
    if (r.kind != Request::NoWord) {
        // The single-letter table is read and written in one place: a request
        // survives being written and read again.
        const Request again = ClientCodec::decodeRequest(ClientCodec::encodeRequest(r));
        FUZZ_CHECK(again.kind == r.kind && again.word == r.word);
        FUZZ_CHECK(again.event == r.event && sameUser(again.user, r.user));
    }
    const CEvent e = ClientCodec::decodeEvent(obj);
    FUZZ_CHECK(ClientCodec::decodeEvent(ClientCodec::encodeMessage(1, QStringLiteral("NewEvent"), e.toVariant())) == e);
    ClientCodec::commandCodeFor(e.nEventCode);
    ClientCodec::describeMessage(r.word, e.toVariant());
    ClientCodec::describeMessage(r.word, r.user.toVariant());
    return 0;
}
