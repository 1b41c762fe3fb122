#include "remote/dc09codec.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace Dc09 {

namespace {
const char kHex[] = "0123456789ABCDEF";

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool allHex(const QByteArray &s)
{
    for (char c : s) {
        if (!isHex(c))
            return false;
    }
    return true;
}

QByteArray hex4(int v)
{
    QByteArray out(4, '0');
    for (int i = 3; i >= 0; --i, v >>= 4)
        out[i] = kHex[v & 0xF];
    return out;
}

const EVP_CIPHER *cipherFor(const Key &key)
{
    switch (key.bytes.size()) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
    }
}

// CBC with an all-zero IV and no padding scheme: the caller has made the
// input a multiple of 16. Empty on failure.
QByteArray aes(const Key &key, const QByteArray &in, bool encrypt)
{
    const EVP_CIPHER *cipher = cipherFor(key);
    if (!cipher || in.isEmpty() || in.size() % 16 != 0)
        return QByteArray();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    QByteArray out(in.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    if (!ctx
        || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, reinterpret_cast<const unsigned char *>(key.bytes.constData()),
                             iv, encrypt ? 1 : 0) != 1
        || EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1
        || EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char *>(in.constData()), in.size()) != 1
        || EVP_CipherFinal_ex(ctx.get(), o + n, &tail) != 1)
        return QByteArray();
    out.resize(n + tail);
    return out;
}

// What follows the data's "]": further bracketed blocks, then the timestamp.
bool parseTail(const QByteArray &tail, Message *m, QString *error)
{
    int i = 0;
    while (i < tail.size() && tail.at(i) == '[') {
        const int close = tail.indexOf(']', i);
        if (close < 0) {
            *error = QStringLiteral("extended data without \"]\"");
            return false;
        }
        m->extended += tail.mid(i, close - i + 1);
        i = close + 1;
    }
    if (i == tail.size())
        return true;
    if (tail.at(i) != '_') {
        *error = QStringLiteral("unexpected \"%1\" after the data").arg(QString::fromLatin1(tail.mid(i, 20)));
        return false;
    }
    m->timestamp = parseTimestamp(tail.mid(i + 1));
    if (!m->timestamp.isValid()) {
        *error = QStringLiteral("bad timestamp \"%1\"").arg(QString::fromLatin1(tail.mid(i + 1, 20)));
        return false;
    }
    return true;
}

// The body between LF header and CR.
bool parseBody(const QByteArray &body, const Key &key, Message *m, QString *error)
{
    if (body.size() < 2 || body.at(0) != '"') {
        *error = QStringLiteral("body does not start with a quoted id");
        return false;
    }
    const int quote = body.indexOf('"', 1);
    if (quote < 0) {
        *error = QStringLiteral("id without closing quote");
        return false;
    }
    m->id = body.mid(1, quote - 1);
    m->encrypted = m->id.startsWith('*');
    if (m->encrypted)
        m->id.remove(0, 1);
    if (m->id.isEmpty() || m->id.size() > 16) {
        *error = QStringLiteral("bad id");
        return false;
    }
    int i = quote + 1;
    const QByteArray seq = body.mid(i, 4);
    bool ok = false;
    m->seq = seq.toInt(&ok);
    if (seq.size() != 4 || !ok || m->seq < 0) {
        *error = QStringLiteral("bad sequence number \"%1\"").arg(QString::fromLatin1(seq));
        return false;
    }
    i += 4;
    const int open = body.indexOf('[', i);
    if (open < 0) {
        *error = QStringLiteral("no \"[\" before the data");
        return false;
    }
    QByteArray header = body.mid(i, open - i); // [Rrcvr]Lline(#|A)acct
    if (header.startsWith('R')) {
        const int l = header.indexOf('L');
        if (l < 0) {
            *error = QStringLiteral("no line field");
            return false;
        }
        m->receiver = header.mid(1, l - 1);
        header.remove(0, l);
    }
    if (!header.startsWith('L')) {
        *error = QStringLiteral("no line field");
        return false;
    }
    int hash = header.indexOf('#');
    if (hash < 0)
        hash = header.indexOf('A', 1); // a NAK's "L0A0": the line is hex, so only the first A splits
    if (hash < 0) {
        *error = QStringLiteral("no account field");
        return false;
    }
    m->line = header.mid(1, hash - 1);
    m->accountPrefix = header.at(hash);
    m->account = header.mid(hash + 1);
    if (m->line.isEmpty() || !allHex(m->line) || !allHex(m->receiver) || (!m->receiver.isEmpty() && m->receiver.size() > 6)
        || m->line.size() > 6 || m->account.isEmpty() || m->account.size() > 16 || !allHex(m->account)) {
        *error = QStringLiteral("bad receiver, line or account in \"%1\"").arg(QString::fromLatin1(body.mid(i, open - i)));
        return false;
    }
    QByteArray rest = body.mid(open + 1);
    if (m->encrypted) {
        if (!key.isSet()) {
            *error = QStringLiteral("encrypted message, no key configured");
            return false;
        }
        if (rest.isEmpty() || rest.size() % 32 != 0 || !allHex(rest)) {
            *error = QStringLiteral("encrypted part of %1 characters is not whole AES blocks in hex").arg(rest.size());
            return false;
        }
        const QByteArray plain = aes(key, QByteArray::fromHex(rest), false);
        const int bar = plain.indexOf('|');
        if (plain.isEmpty() || bar < 0) {
            *error = QStringLiteral("encrypted part does not decrypt with the key");
            return false;
        }
        rest = plain.mid(bar + 1);
    }
    const int close = rest.indexOf(']');
    if (close < 0) {
        *error = QStringLiteral("data without \"]\"");
        return false;
    }
    m->data = rest.left(close);
    return parseTail(rest.mid(close + 1), m, error);
}

Decoded invalid(const QByteArray &bytes, int from, const QString &why)
{
    Decoded d;
    d.status = Status::Invalid;
    const int next = bytes.indexOf('\n', from);
    d.consumed = next < 0 ? bytes.size() : next;
    d.error = why;
    return d;
}
} // namespace

quint16 crc16(const QByteArray &bytes)
{
    quint16 crc = 0;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

bool Key::parse(const QString &text, const QString &format, Key *key, QString *error)
{
    *key = Key();
    if (text.isEmpty())
        return true;
    QByteArray bytes;
    if (format.compare(QLatin1String("hex"), Qt::CaseInsensitive) == 0) {
        const QByteArray hex = text.toLatin1();
        if (!allHex(hex) || hex.size() % 2 != 0) {
            *error = QStringLiteral("key is not hex digits");
            return false;
        }
        bytes = QByteArray::fromHex(hex);
    } else if (format.compare(QLatin1String("text"), Qt::CaseInsensitive) == 0) {
        bytes = text.toUtf8();
    } else {
        *error = QStringLiteral("keyFormat \"%1\" is neither hex nor text").arg(format);
        return false;
    }
    if (bytes.size() != 16 && bytes.size() != 24 && bytes.size() != 32) {
        *error = QStringLiteral("key of %1 bytes; AES takes 16, 24 or 32").arg(bytes.size());
        return false;
    }
    key->bytes = bytes;
    return true;
}

bool Message::operator==(const Message &o) const
{
    return id == o.id && encrypted == o.encrypted && seq == o.seq && receiver == o.receiver && line == o.line
        && accountPrefix == o.accountPrefix && account == o.account && data == o.data && extended == o.extended
        && timestamp == o.timestamp;
}

QByteArray randomPad(int length)
{
    QByteArray pad;
    while (pad.size() < length) {
        unsigned char b[32];
        if (RAND_bytes(b, sizeof b) != 1)
            return QByteArray(length, '0'); // the generator failed: a pad still has to be there
        for (unsigned char c : b) {
            if (c != '|' && c != '[' && c != ']' && pad.size() < length)
                pad.append(char(c));
        }
    }
    return pad;
}

QDateTime parseTimestamp(const QByteArray &text)
{
    if (text.size() != 19 || text.at(2) != ':' || text.at(5) != ':' || text.at(8) != ',' || text.at(11) != '-'
        || text.at(14) != '-')
        return QDateTime();
    const QDateTime t = QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("HH:mm:ss,MM-dd-yyyy"));
    return t.isValid() ? QDateTime(t.date(), t.time(), Qt::UTC) : QDateTime();
}

QByteArray formatTimestamp(const QDateTime &utc)
{
    return utc.toUTC().toString(QStringLiteral("HH:mm:ss,MM-dd-yyyy")).toLatin1();
}

QByteArray encode(const Message &m, const Key &key, const PadSource &pad)
{
    QByteArray body;
    body.reserve(160);
    body += '"';
    if (m.encrypted)
        body += '*';
    body += m.id;
    body += '"';
    body += QByteArray::number(m.seq).rightJustified(4, '0');
    if (!m.receiver.isEmpty())
        body += 'R' + m.receiver;
    body += 'L' + m.line;
    body += m.accountPrefix;
    body += m.account;
    body += '[';
    QByteArray tail = m.data + ']' + m.extended;
    if (m.timestamp.isValid())
        tail += '_' + formatTimestamp(m.timestamp);
    if (m.encrypted) {
        // The pad ends at the first "|", so the pad and the "|" together
        // fill the plaintext to whole blocks.
        const int padLength = 16 - (tail.size() + 1) % 16;
        const QByteArray padding = pad(padLength);
        if (padding.size() != padLength || padding.contains('|') || padding.contains('[') || padding.contains(']'))
            return QByteArray();
        const QByteArray cipher = aes(key, padding + '|' + tail, true);
        if (cipher.isEmpty())
            return QByteArray();
        // Sent without the closing bracket: the plaintext holds it.
        body += cipher.toHex().toUpper();
    } else {
        body += tail;
    }
    if (body.size() > MaxBody)
        return QByteArray();
    return '\n' + hex4(crc16(body)) + hex4(body.size()) + body + '\r';
}

Decoded decode(const QByteArray &bytes, const Key &key)
{
    Decoded d;
    if (bytes.isEmpty())
        return d;
    if (bytes.at(0) != '\n') {
        Decoded d = invalid(bytes, 0, QString());
        d.error = QStringLiteral("%1 bytes that are not a frame (no LF before them)").arg(d.consumed);
        return d;
    }
    for (int i = 1; i < qMin(9, bytes.size()); ++i) {
        if (!isHex(bytes.at(i)))
            return invalid(bytes, 1, QStringLiteral("header \"%1\" is not CRC and length in hex")
                                         .arg(QString::fromLatin1(bytes.mid(1, 8).toPercentEncoding())));
    }
    if (bytes.size() < 9)
        return d;
    const int length = bytes.mid(5, 4).toInt(nullptr, 16);
    if (length < 1 || length > MaxBody)
        return invalid(bytes, 1, QStringLiteral("length %1 outside 1..%2").arg(length).arg(MaxBody));
    const int total = 9 + length + 1;
    if (bytes.size() < total)
        return d;
    if (bytes.at(total - 1) != '\r')
        return invalid(bytes, 1, QStringLiteral("no CR after the %1 bytes the length gives").arg(length));
    const QByteArray body = bytes.mid(9, length);
    const quint16 crc = quint16(bytes.mid(1, 4).toUInt(nullptr, 16));
    d.consumed = total;
    if (crc16(body) != crc) {
        d.status = Status::Invalid;
        d.error = QStringLiteral("CRC %1 does not match the body's %2")
                      .arg(QString::fromLatin1(bytes.mid(1, 4)), QString::fromLatin1(hex4(crc16(body))));
        return d;
    }
    if (!parseBody(body, key, &d.message, &d.error)) {
        d.status = Status::Invalid;
        d.message = Message();
        return d;
    }
    d.status = Status::Complete;
    return d;
}

} // namespace Dc09
