// The splitter that frames the client's byte stream into JSON objects.

#include "clients/jsonsplitter.h"

#include <QtTest>

namespace {
QString g_feedError; // first broken invariant seen by feed()

// Feeds the chunks one after another the way the connection does and
// returns the complete objects and the number of Invalid results.
QList<QByteArray> feed(JsonSplitter &s, const QList<QByteArray> &chunks, int *invalid = nullptr)
{
    QList<QByteArray> objects;
    QByteArray buffer;
    for (const QByteArray &c : chunks) {
        buffer += c;
        for (;;) {
            const JsonSplitter::Result r = s.next(buffer);
            if (r.consumed > buffer.size() && g_feedError.isEmpty())
                g_feedError = QStringLiteral("consumed more than given");
            buffer.remove(0, r.consumed);
            if (r.status == JsonSplitter::Complete)
                objects << r.object;
            else if (r.status == JsonSplitter::Invalid && invalid)
                ++*invalid;
            if (r.status == JsonSplitter::Incomplete && r.consumed == 0)
                break;
        }
        // Nothing but the unfinished object stays behind.
        if (!buffer.isEmpty() && !(buffer.startsWith('{') && buffer.size() <= s.cap()) && g_feedError.isEmpty())
            g_feedError = QStringLiteral("left behind: ") + QString::fromLatin1(buffer.left(40));
    }
    return objects;
}
} // namespace

class TestJsonSplitter : public QObject
{
    Q_OBJECT
private slots:
    void init() { g_feedError.clear(); }
    void cleanup() { QVERIFY2(g_feedError.isEmpty(), qPrintable(g_feedError)); }

    void objectsAreCutAtTheirClosingBrace()
    {
        JsonSplitter s;
        const QByteArray a = "{\"b\":\"LOGIN\",\"t\":{\"x\":[1,{\"y\":2}]}}";
        const QByteArray b = "{\"b\":\"SETTIME\"}";
        QCOMPARE(feed(s, {a + "\n" + b + "\n"}), (QList<QByteArray>{a, b}));
    }

    void stringsAndEscapesHideBraces()
    {
        JsonSplitter s;
        const QByteArray tricky = "{\"l\":\"} {\\\"}\\\\\",\"m\":\"\\\\\"}";
        // l = } {"}\   m = \ : the closing quote after a double backslash ends the string.
        QCOMPARE(feed(s, {tricky}), QList<QByteArray>{tricky});
    }

    void anySplitGivesTheSameObjects()
    {
        const QByteArray stream = "x{\"a\":\"{\"}\n\n{\"b\":{\"c\":\"\\\"}\"}} ]]}{}";
        const QList<QByteArray> expected{"{\"a\":\"{\"}", "{\"b\":{\"c\":\"\\\"}\"}}", "{}"};
        for (int i = 0; i <= stream.size(); ++i) {
            for (int j = i; j <= stream.size(); ++j) {
                JsonSplitter s;
                QCOMPARE(feed(s, {stream.left(i), stream.mid(i, j - i), stream.mid(j)}), expected);
            }
        }
    }

    void garbageIsConsumedAtOnce()
    {
        JsonSplitter s;
        const JsonSplitter::Result r = s.next("}}] noise\r\n");
        QCOMPARE(r.status, JsonSplitter::Incomplete);
        QCOMPARE(r.consumed, 11);
        const JsonSplitter::Result g = s.next("ab{\"b\"");
        QCOMPARE(g.status, JsonSplitter::Incomplete);
        QCOMPARE(g.consumed, 2);
    }

    void unfinishedObjectIsCutAtTheCap()
    {
        JsonSplitter s(64);
        int invalid = 0;
        QByteArray open = "{\"b\":\"" + QByteArray(100, 'z');
        const QList<QByteArray> objects = feed(s, {open.left(30), open.mid(30), "\"}{\"b\":\"OK\"}"}, &invalid);
        QCOMPARE(invalid, 1);
        // What follows the dropped part is scanned afresh: the stray quote
        // and brace are skipped, the next object is whole.
        QCOMPARE(objects, QList<QByteArray>{"{\"b\":\"OK\"}"});
        // An object of exactly the cap is still fine.
        JsonSplitter t(10);
        QCOMPARE(feed(t, {"{\"b\":\"12\"}"}), QList<QByteArray>{"{\"b\":\"12\"}"});
        QCOMPARE(feed(t, {"{\"b\":\"123\"}"}, &invalid), QList<QByteArray>{});
        QCOMPARE(invalid, 2);
    }
};

QTEST_MAIN(TestJsonSplitter)
#include "tst_jsonsplitter.moc"
