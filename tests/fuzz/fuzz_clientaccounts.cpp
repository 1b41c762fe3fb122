// "FireServerInfo.cfg": the file decoded (Base64 three times) and its plain
// text parsed into accounts; the plain text is also parsed directly, since
// random bytes rarely survive three rounds of Base64. A damaged file may
// lose characters on its first save (what the encoding cannot hold, a
// second carriage return), but from then on every start must read and save
// the file unchanged.

#include "fuzzsupport.h"

#include "clients/clientaccounts.h"

namespace {
QByteArray loadAndSave(const QByteArray &plain)
{
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.parsePlainText(plain);
    const QByteArray written = accounts.plainText();
    QByteArray back;
    FUZZ_CHECK(ClientAccounts::decode(ClientAccounts::encode(written), &back) && back == written);
    return written;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file = Fuzz::bytes(data, size);
    QByteArray plain;
    if (ClientAccounts::decode(file, &plain))
        loadAndSave(plain);
    const QByteArray saved = loadAndSave(file);
    FUZZ_CHECK(loadAndSave(saved) == saved);
    return 0;
}
