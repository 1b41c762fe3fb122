// "FireServerInfo.cfg": the file decoded (Base64 three times) and its plain
// text parsed into accounts; the plain text is also parsed directly, since
// random bytes rarely survive three rounds of Base64. What was parsed must
// write out and read back the same.

#include "fuzzsupport.h"

#include "clients/clientaccounts.h"

namespace {
void parse(const QByteArray &plain)
{
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.parsePlainText(plain);
    const QByteArray written = accounts.plainText();
    QByteArray back;
    FUZZ_CHECK(ClientAccounts::decode(ClientAccounts::encode(written), &back) && back == written);
    accounts.parsePlainText(written);
    FUZZ_CHECK(accounts.plainText() == written);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file = Fuzz::bytes(data, size);
    QByteArray plain;
    if (ClientAccounts::decode(file, &plain))
        parse(plain);
    parse(file);
    return 0;
}
