#include "clients/activekeys.h"

namespace {
// Lengths agree; "*" stands for one character, the rest compare case-folded.
bool foldedMatches(const QString &foldedPattern, const QString &foldedKey)
{
    const QChar *p = foldedPattern.constData();
    const QChar *k = foldedKey.constData();
    for (int i = 0, n = foldedPattern.size(); i < n; ++i) {
        if (p[i] != QLatin1Char('*') && p[i] != k[i])
            return false;
    }
    return true;
}
} // namespace

QString ActiveKeys::fold(const QString &text)
{
    QString out(text.size(), Qt::Uninitialized);
    QChar *o = out.data();
    const QChar *t = text.constData();
    for (int i = 0, n = text.size(); i < n; ++i)
        o[i] = t[i].toCaseFolded();
    return out;
}

bool ActiveKeys::contains(quint8 nCom, int nNumber, const QString &key) const
{
    auto it = m_buckets.constFind(bucketId(nCom, nNumber));
    return it != m_buckets.constEnd() && it->keys.contains(key);
}

bool ActiveKeys::insert(quint8 nCom, int nNumber, const QString &key, const QString &strCode)
{
    Bucket &b = m_buckets[bucketId(nCom, nNumber)];
    auto it = b.keys.find(key);
    if (it != b.keys.end())
        return false;
    b.keys.insert(key, strCode);
    if (b.bIndexed)
        b.sorted.insert(foldedOf(key));
    ++m_nSize;
    return true;
}

bool ActiveKeys::remove(quint8 nCom, int nNumber, const QString &key)
{
    auto it = m_buckets.find(bucketId(nCom, nNumber));
    if (it == m_buckets.end() || !it->keys.remove(key))
        return false;
    if (it->bIndexed)
        it->sorted.erase(foldedOf(key));
    --m_nSize;
    return true;
}

void ActiveKeys::buildIndex(Bucket &b)
{
    b.sorted.clear();
    for (auto it = b.keys.cbegin(); it != b.keys.cend(); ++it)
        b.sorted.insert(foldedOf(it.key()));
    b.bIndexed = true;
}

QList<QPair<QString, QString>> ActiveKeys::match(quint8 nCom, int nNumber, const QString &pattern)
{
    QList<QPair<QString, QString>> out;
    auto it = m_buckets.find(bucketId(nCom, nNumber));
    if (it == m_buckets.end() || it->keys.isEmpty())
        return out;
    Bucket &b = *it;
    if (!b.bIndexed)
        buildIndex(b);

    const QString foldedPattern = fold(pattern);
    const int nStar = foldedPattern.indexOf(QLatin1Char('*'));
    const QString prefix = nStar < 0 ? foldedPattern : foldedPattern.left(nStar);
    // Keys of the pattern's length whose folded text starts with the part
    // before the first "*" form one range of the index.
    for (auto s = b.sorted.lower_bound(Folded{pattern.size(), prefix, QString()});
         s != b.sorted.end() && s->nLength == pattern.size() && s->folded.startsWith(prefix); ++s) {
        if (foldedMatches(foldedPattern, s->folded))
            out.append(qMakePair(s->key, b.keys.value(s->key)));
    }
    return out;
}

int ActiveKeys::removeEverywhere(quint8 nCom, const QString &key)
{
    int n = 0;
    for (auto it = m_buckets.begin(); it != m_buckets.end(); ++it) {
        if (comOf(it.key()) == nCom && it->keys.remove(key)) {
            if (it->bIndexed)
                it->sorted.erase(foldedOf(key));
            ++n;
        }
    }
    m_nSize -= n;
    return n;
}

int ActiveKeys::removeAllExcept(int nKeptNumber)
{
    int n = 0;
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        if (numberOf(it.key()) != nKeptNumber) {
            n += it->keys.size();
            it = m_buckets.erase(it);
        } else {
            ++it;
        }
    }
    m_nSize -= n;
    return n;
}

int ActiveKeys::removePortExcept(quint8 nCom, int nKeptNumber)
{
    int n = 0;
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        if (comOf(it.key()) == nCom && numberOf(it.key()) != nKeptNumber) {
            n += it->keys.size();
            it = m_buckets.erase(it);
        } else {
            ++it;
        }
    }
    m_nSize -= n;
    return n;
}
