#include "clients/jsonsplitter.h"

void JsonSplitter::reset()
{
    m_inObject = false;
    m_scanned = 0;
    m_depth = 0;
    m_inString = false;
    m_escape = false;
}

JsonSplitter::Result JsonSplitter::next(const QByteArray &data)
{
    Result r;
    const int size = data.size();
    const char *p = data.constData();

    if (!m_inObject) {
        // Bytes between objects (line feeds, stray text) are skipped: a
        // well-behaved client sends only whitespace there.
        int start = 0;
        while (start < size && p[start] != '{')
            ++start;
        if (start == size) {
            r.consumed = size;
            return r;
        }
        if (start > 0) {
            // Let the caller drop the garbage first so the object starts at 0.
            r.consumed = start;
            return r;
        }
        m_inObject = true;
        m_scanned = 0;
        m_depth = 0;
        m_inString = false;
        m_escape = false;
    }

    for (int i = m_scanned; i < size; ++i) {
        if (i + 1 > m_cap) {
            // The peer keeps an object open past the cap: drop what it sent
            // and look for the next object in whatever follows.
            r.status = Invalid;
            r.consumed = i;
            reset();
            return r;
        }
        const char c = p[i];
        if (m_inString) {
            if (m_escape)
                m_escape = false;
            else if (c == '\\')
                m_escape = true;
            else if (c == '"')
                m_inString = false;
            continue;
        }
        // Only braces frame an object; brackets inside it need no tracking.
        if (c == '"') {
            m_inString = true;
        } else if (c == '{') {
            ++m_depth;
        } else if (c == '}' && --m_depth == 0) {
            r.status = Complete;
            r.consumed = i + 1;
            r.object = data.left(i + 1);
            reset();
            return r;
        }
    }
    m_scanned = size;
    return r;
}
