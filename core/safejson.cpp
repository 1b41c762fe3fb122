#include "core/safejson.h"

#include <QHash>
#include <QVector>

namespace SafeJson {

namespace {

struct Frame
{
    bool object = false;
    bool expectKey = false;   // the next string names a member
    bool haveKey = false;     // key holds the member whose value comes next
    QString key;
    QHash<QString, bool> seen; // key -> an earlier value was an object or array
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where a number or literal ends.
bool endsWord(char c)
{
    return isSpace(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The string starting at the quote at i, its end set past the closing
// quote; the text decoded as Qt decodes it, only when wanted (keys). False
// when it does not end or holds a short \u escape: Qt refuses those.
bool readString(const QByteArray &text, int i, int *end, QString *decoded)
{
    int segment = ++i;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"') {
            if (decoded)
                decoded->append(QString::fromUtf8(text.constData() + segment, i - segment));
            *end = i + 1;
            return true;
        }
        if (c != '\\') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return false;
        if (decoded)
            decoded->append(QString::fromUtf8(text.constData() + segment, i - segment));
        const char e = text.at(i + 1);
        int used = 2;
        QChar ch;
        switch (e) {
        case '"': ch = QLatin1Char('"'); break;
        case '\\': ch = QLatin1Char('\\'); break;
        case '/': ch = QLatin1Char('/'); break;
        case 'b': ch = QLatin1Char('\b'); break;
        case 'f': ch = QLatin1Char('\f'); break;
        case 'n': ch = QLatin1Char('\n'); break;
        case 'r': ch = QLatin1Char('\r'); break;
        case 't': ch = QLatin1Char('\t'); break;
        case 'u': {
            if (i + 6 > text.size())
                return false;
            ushort unit = 0;
            for (int k = i + 2; k < i + 6; ++k) {
                const int d = hexDigit(text.at(k));
                if (d < 0)
                    return false;
                unit = ushort(unit * 16 + d);
            }
            ch = QChar(unit);
            used = 6;
            break;
        }
        default:
            // Qt takes any other escaped byte as itself.
            ch = QChar(quint8(e));
            break;
        }
        if (decoded)
            decoded->append(ch);
        i += used;
        segment = i;
    }
    return false;
}

// False, with key set, when an object repeats a key whose earlier value
// was an object or array. Only well-formed text needs reading right: Qt
// refuses the rest anyway.
bool findLeakingKey(const QByteArray &text, QString *key)
{
    QVector<Frame> stack;
    // Records that a value starts; false when it repeats a key that must not.
    const auto valueStarts = [&](bool container) {
        if (stack.isEmpty() || !stack.last().object || !stack.last().haveKey)
            return true;
        Frame &f = stack.last();
        f.haveKey = false;
        const auto it = f.seen.find(f.key);
        if (it == f.seen.end()) {
            f.seen.insert(f.key, container);
            return true;
        }
        if (it.value()) {
            *key = f.key;
            return false;
        }
        it.value() = container;
        return true;
    };

    int i = 0;
    while (i < text.size()) {
        const char c = text.at(i);
        if (isSpace(c) || c == ':') {
            ++i;
        } else if (c == '"') {
            const bool isKey = !stack.isEmpty() && stack.last().object && stack.last().expectKey;
            // A value counts before its text is read: whatever the text, the key is taken.
            if (!isKey && !valueStarts(false))
                return false;
            QString name;
            if (!readString(text, i, &i, isKey ? &name : nullptr))
                return true;
            if (isKey) {
                Frame &f = stack.last();
                f.key = name;
                f.haveKey = true;
                f.expectKey = false;
            }
        } else if (c == '{' || c == '[') {
            if (!valueStarts(true))
                return false;
            Frame f;
            f.object = c == '{';
            f.expectKey = f.object;
            stack.append(f);
            ++i;
        } else if (c == '}' || c == ']') {
            if (stack.isEmpty())
                return true;
            stack.removeLast();
            ++i;
        } else if (c == ',') {
            if (!stack.isEmpty() && stack.last().object)
                stack.last().expectKey = true;
            ++i;
        } else {
            // A number or literal.
            if (!valueStarts(false))
                return false;
            do
                ++i;
            while (i < text.size() && !endsWord(text.at(i)));
        }
    }
    return true;
}

} // namespace

QJsonDocument parse(const QByteArray &text, QString *error)
{
    QString key;
    if (!findLeakingKey(text, &key)) {
        if (error)
            *error = QStringLiteral("key \"%1\" repeated after an object or array value").arg(key.left(64));
        return QJsonDocument();
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
    if (error)
        *error = parseError.error == QJsonParseError::NoError ? QString() : parseError.errorString();
    return doc;
}

} // namespace SafeJson
