#pragma once
// The dispatcher's active conditions: per panel port and event number, the
// set of device keys currently present. Lookups are hashed; a wildcard
// restore ("*" = exactly one character, case ignored) uses a sorted index
// that a bucket builds the first time a pattern reaches it, so buckets that
// never see patterns never pay for it.

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <set>

class ActiveKeys
{
public:
    bool contains(quint8 nCom, int nNumber, const QString &key) const;
    // False when the key was there already.
    bool insert(quint8 nCom, int nNumber, const QString &key, const QString &strCode);
    bool remove(quint8 nCom, int nNumber, const QString &key);
    // Keys under nCom/nNumber that the whole pattern matches, with the strCode
    // of the event that made each active. Not const: the first pattern for a
    // bucket builds its sorted index.
    QList<QPair<QString, QString>> match(quint8 nCom, int nNumber, const QString &pattern);
    // Removes the key under every number of the port; returns how many.
    int removeEverywhere(quint8 nCom, const QString &key);
    // Remove every key of every port, or of nCom, except those under
    // nKeptNumber; return how many.
    int removeAllExcept(int nKeptNumber);
    int removePortExcept(quint8 nCom, int nKeptNumber);
    int size() const { return m_nSize; }

private:
    struct Folded
    {
        int nLength;
        QString folded; // case-folded key
        QString key;
        bool operator<(const Folded &o) const
        {
            if (nLength != o.nLength)
                return nLength < o.nLength;
            const int c = folded.compare(o.folded);
            return c != 0 ? c < 0 : key < o.key;
        }
    };
    struct Bucket
    {
        QHash<QString, QString> keys; // device key -> strCode
        bool bIndexed = false;
        std::set<Folded> sorted;      // kept only while bIndexed
    };
    static quint64 bucketId(quint8 nCom, int nNumber) { return (quint64(nCom) << 32) | quint32(nNumber); }
    static quint8 comOf(quint64 id) { return quint8(id >> 32); }
    static int numberOf(quint64 id) { return int(quint32(id)); }
    // Folded one character at a time so positions stay where "*" expects
    // them (whole-string folding may expand a character).
    static QString fold(const QString &text);
    static Folded foldedOf(const QString &key) { return Folded{key.size(), fold(key), key}; }
    static void buildIndex(Bucket &b);

    QHash<quint64, Bucket> m_buckets;
    int m_nSize = 0;
};
