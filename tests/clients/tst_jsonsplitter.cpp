// The splitter that frames the client's byte stream into JSON objects.

#include "clients/jsonsplitter.h"

#include <QtTest>

class TestJsonSplitter : public QObject
{
    Q_OBJECT

    // Feeds the chunks as the connection does: the objects, then "!<n>" for
    // n Invalid results, then what was left in the buffer.
    static QList<QByteArray> feed(JsonSplitter &s, const QList<QByteArray> &chunks)
    {
        QList<QByteArray> out;
        QByteArray buffer;
        int invalid = 0;
        for (const QByteArray &c : chunks) {
            buffer += c;
            for (JsonSplitter::Result r = s.next(buffer); r.consumed > 0 || r.status != JsonSplitter::Incomplete;
                 r = s.next(buffer)) {
                buffer.remove(0, r.consumed);
                if (r.status == JsonSplitter::Complete)
                    out << r.object;
                invalid += r.status == JsonSplitter::Invalid;
            }
        }
        return out << "!" + QByteArray::number(invalid) << buffer;
    }

private slots:
    void anySplitGivesTheSameObjects()
    {
        // Nested objects, braces and escaped quotes inside strings, garbage between.
        const QByteArray stream = "x{\"a\":\"{\"}\n\n{\"b\":{\"c\":\"\\\"}\"}} ]]}{\"l\":\"} {\\\"}\\\\\",\"m\":\"\\\\\"}";
        const QList<QByteArray> expected{"{\"a\":\"{\"}", "{\"b\":{\"c\":\"\\\"}\"}}",
                                         "{\"l\":\"} {\\\"}\\\\\",\"m\":\"\\\\\"}", "!0", ""};
        for (int i = 0; i <= stream.size(); ++i)
            for (int j = i; j <= stream.size(); ++j) {
                JsonSplitter s;
                QCOMPARE(feed(s, {stream.left(i), stream.mid(i, j - i), stream.mid(j)}), expected);
            }
        JsonSplitter s; // garbage is consumed at once, up to the next object
        QCOMPARE(s.next("}}] noise\r\n").consumed, 11);
        QCOMPARE(s.next("ab{\"b\"").consumed, 2);
    }

    void unfinishedObjectIsCutAtTheCap()
    {
        // What follows the dropped part is scanned afresh: the stray quote and
        // brace are skipped, the next object is whole.
        JsonSplitter s(64);
        const QByteArray open = "{\"b\":\"" + QByteArray(100, 'z');
        QCOMPARE(feed(s, {open.left(30), open.mid(30), "\"}{\"b\":\"OK\"}"}), (QList<QByteArray>{"{\"b\":\"OK\"}", "!1", ""}));
        JsonSplitter t(10); // exactly the cap is still fine
        QCOMPARE(feed(t, {"{\"b\":\"12\"}", "{\"b\":\"123\"}"}), (QList<QByteArray>{"{\"b\":\"12\"}", "!1", ""}));
    }
};

QTEST_MAIN(TestJsonSplitter)
#include "tst_jsonsplitter.moc"
