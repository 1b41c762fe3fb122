// "FireServerInfo.cfg": the file decoded (Base64 three times) and its plain
// text parsed into accounts; the plain text is also parsed directly, since
// random bytes rarely survive three rounds of Base64. Accounts the file's
// encoding can hold must come back the same after a save.

#include "fuzzsupport.h"

#include "clients/clientaccounts.h"

#include <QTextCodec>

namespace {
QStringList table(const ClientAccounts &accounts, bool *encodable)
{
    static QTextCodec *const codec = QTextCodec::codecForName("GBK");
    QStringList out;
    for (const ClientAccount &a : accounts.accounts()) {
        *encodable = *encodable && codec->canEncode(a.userName) && codec->canEncode(a.password)
                  && codec->canEncode(a.userType);
        out << a.userName + QLatin1Char('|') + a.password + QLatin1Char('|') + a.userType;
    }
    return out;
}

void parse(const QByteArray &plain)
{
    ClientAccounts &accounts = ClientAccounts::instance();
    accounts.parsePlainText(plain);
    bool encodable = true;
    const QStringList before = table(accounts, &encodable);
    const QByteArray written = accounts.plainText();
    QByteArray back;
    FUZZ_CHECK(ClientAccounts::decode(ClientAccounts::encode(written), &back) && back == written);
    accounts.parsePlainText(back);
    if (encodable)
        FUZZ_CHECK(table(accounts, &encodable) == before);
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
