// The Cedar and Dune panel's byte stream: reports decoded one after the
// other as the driver does, plus record and read-value replies. The first
// byte picks the model and the controller type code.

#include "fuzzsupport.h"

#include "panels/models/cedarframes.h"

using namespace CedarFrames;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int typeCodes[] = {50, 150, 160, 190, 200, 30};
    const Model model = (data[0] & 1) ? Dune : Cedar;
    const int typeCode = typeCodes[(data[0] >> 1) % 6];
    QByteArray stream = Fuzz::bytes(data + 1, size - 1);

    while (!stream.isEmpty()) {
        const Report r = decodeReport(stream, model, typeCode);
        if (r.status == Report::Incomplete) {
            FUZZ_CHECK(r.consumed == 0);
            break;
        }
        FUZZ_CHECK(r.consumed > 0 && r.consumed <= stream.size());
        FUZZ_CHECK(r.status == Report::Complete || !r.error.isEmpty());
        if (r.status == Report::Complete && (r.header == HeaderCleared || r.header == HeaderRaised)) {
            if (model == Cedar) {
                cedarClearedCode(r.state, r.strCode, r.devType, typeCode);
                cedarRaisedCode(r.state, r.strCode);
            } else {
                duneClearedCode(r.state, r.devType);
                duneRaisedCode(r.state);
            }
        }
        stream.remove(0, r.consumed);
    }
    const QByteArray reply = Fuzz::bytes(data + 1, size - 1);
    const Record rec = decodeRecord(reply);
    FUZZ_CHECK(rec.strCode.size() == 8);
    readValueOf(reply);
    setTimeReplyOk(reply);
    deviceStateReplyOk(reply);
    return 0;
}
