#pragma once
// Takes complete top-level JSON objects out of a client's byte stream.
// Clients send objects back to back with no delimiter, and TCP may split or
// join them arbitrarily, so the connection keeps a buffer and asks this
// splitter for the next whole object in it. Pure code: no sockets.

#include <QByteArray>

class JsonSplitter
{
public:
    enum Status {
        Complete,   // object holds one balanced {...}; consumed includes it
        Incomplete, // no whole object yet; consumed bytes (outside any object) may go
        Invalid     // an unfinished object passed the cap; consumed bytes are dropped
    };

    struct Result
    {
        Status status = Incomplete;
        int consumed = 0;
        QByteArray object;
    };

    // A peer may keep an object open for at most this many bytes.
    static constexpr int DefaultCap = 64 * 1024;

    explicit JsonSplitter(int cap = DefaultCap) : m_cap(cap) {}

    // data is the connection's unconsumed bytes. The caller removes
    // result.consumed bytes from its front before the next call and may only
    // append to the rest: after Incomplete the splitter resumes scanning
    // where it stopped, so an object arriving in many small pieces costs
    // linear time, not quadratic.
    Result next(const QByteArray &data);

    // Forgets the partial scan (a new connection, or the buffer was cleared).
    void reset();

    int cap() const { return m_cap; }

private:
    int m_cap;
    // Scan state of the object that starts at data[0] after an Incomplete.
    bool m_inObject = false;
    int m_scanned = 0; // bytes of the object already examined
    int m_depth = 0;
    bool m_inString = false;
    bool m_escape = false;
};
