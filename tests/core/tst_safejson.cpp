// Peer JSON: what Qt 5.15 would leak on (a key repeated after an object or
// array value, however the key is spelt) is refused; everything else,
// malformed text too, reads as QJsonDocument::fromJson reads it.

#include "core/safejson.h"

#include <QtTest>

class TestSafeJson : public QObject
{
    Q_OBJECT
private slots:
    void refusesOnlyWhatWouldLeak_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("refusedKey"); // empty: read as Qt reads it
        QTest::newRow("object then scalar") << QByteArray(R"({"a":{"x":1},"a":1})") << "a";
        QTest::newRow("array then object") << QByteArray(R"({"n":0,"a":[1],"a":{}})") << "a";
        QTest::newRow("escaped alias") << QByteArray(R"({"b":[1], "\u0062" : 2})") << "b";
        QTest::newRow("quote in key") << QByteArray("{\"a\\\"b\":{},\"a\\\"b\":1}") << "a\"b";
        QTest::newRow("inside an array") << QByteArray(R"([1,{"k":{"z":[]},"k":true}])") << "k";
        QTest::newRow("deep") << QByteArray(R"({"o":{"p":[{"q":{"r":{}},"q":null}]}})") << "q";
        QTest::newRow("scalars repeated: last wins") << QByteArray(R"({"a":1,"a":"two"})") << "";
        QTest::newRow("scalar then object") << QByteArray(R"({"a":1,"a":{"x":1}})") << "";
        QTest::newRow("same key in other objects") << QByteArray(R"([{"a":{}},{"a":{"a":[]}},{"b":{"a":1}}])") << "";
        QTest::newRow("keys inside strings") << QByteArray("{\"s\":\"{\\\"a\\\":{},\\\"a\\\":1}\",\"a\":{},\"t\":\"a\"}") << "";
        QTest::newRow("numbers and literals") << QByteArray(R"({"a":-1.5e3,"b":[true,false,null],"c":{}})") << "";
        QTest::newRow("unfinished") << QByteArray("{\"a\":{},\"a\"") << "";
        QTest::newRow("lenient escape") << QByteArray("{\"m\\sg\":[0],\"msg\":1}") << "msg";
        QTest::newRow("bad escape after the key") << QByteArray("{\"b\":{\"x\":1},\"b\":\"\\u12\"}") << "b";
        QTest::newRow("short unicode escape") << QByteArray("{\"\\u12\":[1]}") << "";
        QTest::newRow("closed too often") << QByteArray("{\"a\":{}}}]") << "";
    }
    void refusesOnlyWhatWouldLeak()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, refusedKey);
        QString error = QStringLiteral("unset");
        const QJsonDocument doc = SafeJson::parse(text, &error);
        if (!refusedKey.isEmpty()) {
            QVERIFY(doc.isNull());
            QCOMPARE(error, QStringLiteral("key \"%1\" repeated after an object or array value").arg(refusedKey));
            return;
        }
        QJsonParseError qt;
        QCOMPARE(doc, QJsonDocument::fromJson(text, &qt));
        QCOMPARE(error, qt.error == QJsonParseError::NoError ? QString() : qt.errorString());
    }
};

QTEST_APPLESS_MAIN(TestSafeJson)
#include "tst_safejson.moc"
